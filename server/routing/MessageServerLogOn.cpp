// The way in: log-ons answered from a fast verifier or checked in turn off the routing thread,
// the throttling, the log-on deadline, and password changes.
#include "base/Crypto.h"
#include "base/InternedNames.h"
#include "base/ServerLog.h"
#include "base/ServerMetrics.h"
#include "cluster/ServerNode.h"
#include "routing/MessageServerClient.h"

#include <QDateTime>
#include <utility>

namespace wispline::server
{
namespace
{

// The full check of the server's own accounts: the key derivation against the stored hash.
FullCheck keyDerivation(const ServerStore* store)
{
    return [store](PasswordCheck& check) {
        check.matches = store->passwordMatches(check.account, check.password);
        if (check.matches && check.outdated)
            check.renewed = store->hashPassword(check.password);
    };
}

} // namespace

void MessageServer::setLogOnDeadline(quint64 id, qint64 at)
{
    // In the order of the deadlines.
    const std::pair<quint64, qint64> entry{id, at};
    deadlines_.insert(
        std::upper_bound(deadlines_.begin(), deadlines_.end(), entry,
                         [](const auto& a, const auto& b) { return a.second < b.second; }),
        entry);
    if (!deadlineTimer_.isActive() || deadlines_.front().first == id)
        deadlineTimer_.start(
            int(std::max<qint64>(deadlines_.front().second - clock_.elapsed(), 1)));
}

void MessageServer::closeLateLogOns()
{
    const qint64 now = clock_.elapsed();
    while (!deadlines_.empty() && deadlines_.front().second <= now) {
        const auto found = clients_.find(deadlines_.front().first);
        deadlines_.pop_front();
        if (found == clients_.end() || found->second->loggedOn || found->second->gone)
            continue;
        Client* client = found->second.get();
        // A log-on held while the database is away, or waiting for its check to start, is not
        // the client's delay: it gets another log-on time (the latest deadline of all, so the
        // queue stays in order); one whose check runs has it from the check's start.
        const qint64 running = checks_.runningFor(client->id);
        if (client->storeWait || running == CheckQueue::kWaiting) {
            deadlines_.emplace_back(client->id, now + limits_.logOnTimeMs);
            continue;
        }
        if (running >= 0 && running < limits_.logOnTimeMs) {
            setLogOnDeadline(client->id, now - running + limits_.logOnTimeMs);
            continue;
        }
        if (mayLog(client))
            logLine(QStringLiteral("%1: not logged on within %2 s, connection closed")
                        .arg(client->who())
                        .arg(limits_.logOnTimeMs / 1000.0));
        forget(client);
    }
    if (!deadlines_.empty())
        deadlineTimer_.start(int(std::max<qint64>(deadlines_.front().second - now, 1)));
}

void MessageServer::setVerifierKey(const QByteArray& key)
{
    verifierKey_ = key;
    verifierKeyId_ = key.isEmpty() ? QByteArray() : Verifiers::keyIdOf(key);
}

QByteArray MessageServer::freshVerifier(const LogOnRecord& record)
{
    const int days = store_.verifierDays();
    if (verifierKey_.isEmpty() || days <= 0 || record.verifier.isEmpty() || !record.account)
        return {};
    if (record.verifierKeyId != verifierKeyId_) {
        if (!std::exchange(strangeKeyLogged_, true))
            logLine(QStringLiteral("verifiers made with another server key are not used: give "
                                   "every node the same key file"));
        return {};
    }
    const qint64 age = QDateTime::currentSecsSinceEpoch() - record.verifierMade;
    return age >= 0 && age < qint64(days) * 24 * 3600 ? record.verifier : QByteArray();
}

bool MessageServer::verifierMatches(const PasswordCheck& check) const
{
    return !check.verifier.isEmpty() && check.account &&
           crypto::sameBytes(Verifiers::verifierOf(verifierKey_, *check.account, check.password),
                             check.verifier);
}

void MessageServer::refuseThrottled(Client* client)
{
    metrics::count(metrics::Counter::LogOnsThrottled);
    send(client, frame({"Invalid", kInvalidLogon}));
    logOnFailed(client);
}

void MessageServer::logOn(Client* client, const QList<QByteArray>& fields)
{
    const QString userName = normalizeUserName(fromWire(fields[1]));
    if (client->loggedOn) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: second log-on on one connection (as %2), ignored")
                        .arg(client->who(), shown(userName)));
        return;
    }
    // Over a plain connection to a server that requires encryption the password has already
    // crossed the network in clear: refused before it is looked at.
    if (requireTls_ && !client->socket->isEncrypted()) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: log-on over a plain connection refused, unchecked")
                        .arg(client->who()));
        send(client, frame({"Invalid", kEncryptedOnly}));
        logOnFailed(client);
        return;
    }
    // A name guessed from this address is refused unchecked: the attempt learns nothing, costs
    // no key derivation and counts for nothing. The name is cut: anything longer is no account
    // name.
    const QString cutName = userName.left(kMaxNameLength + 1);
    if (gate_.pairLocked(cutName, client->remote)) {
        refuseThrottled(client);
        return;
    }
    bool failed = false;
    const LogOnRecord record = store_.logOnRecord(cutName, client->remote, &failed);
    if (failed) {
        // A failed query is no answer: the log-on is held and checked again shortly, and the
        // client's own repeats wait behind it.
        routeLater(client, fields);
        return;
    }
    auto check = std::make_shared<PasswordCheck>();
    check->userName = cutName;
    check->password = fields[2];
    check->account = record.account;
    if (record.account) {
        check->outdated = store_.hashIsOutdated(*record.account);
        check->checkedSalt = record.account->salt;
    }
    check->originSeen = record.originSeen;
    check->verifier = freshVerifier(record);
    // A directory's user is asked there again once the verifier is older than the recheck time,
    // so a change there (a user taken out of the groups, a new level, a new password) reaches
    // the log-ons by then; an older one still answers while the directory does not.
    if (!check->verifier.isEmpty() && record.account->directory &&
        (directoryRecheckSeconds_ < 0 ||
         QDateTime::currentSecsSinceEpoch() - record.verifierMade >= directoryRecheckSeconds_))
        check->fallbackVerifier = std::exchange(check->verifier, QByteArray());
    const bool knownOrigin = record.originSeen > QDateTime::currentSecsSinceEpoch() -
                                                     qint64(Verifiers::kOriginDays) * 24 * 3600;
    // A fresh verifier answers at once, without a key derivation: unless the address is locked
    // for this user, whose check then waits for its turn there like any other.
    const bool waitsForTurn = !knownOrigin && gate_.addressLocked(client->remote);
    if (!waitsForTurn && !check->verifier.isEmpty()) {
        if (verifierMatches(*check)) {
            check->matches = check->fromVerifier = true;
            checkFinished(*check, client->remote);
            answerLogOn(client, *check, fields);
            return;
        }
        check->verifier.clear(); // the worker need not try it again
    }
    // The same name and password asked for on another connection lately (a client reopens its
    // connection every second until it is answered): this one waits for that check's answer.
    if (joinKey_.isEmpty())
        joinKey_ = crypto::randomBytes(32);
    const QByteArray key = crypto::hmacSha256(joinKey_, toWire(cutName) + '\0' + fields[2]);
    const auto answer = [this, id = client->id, fields](const PasswordCheck& done) {
        checkDone(
            id, true, [&](Client* c) { answerLogOn(c, done, fields); }, false);
    };
    std::shared_ptr<const PasswordCheck> kept;
    if (checks_.join(client->id, key, answer, &kept)) {
        debugLine(QStringLiteral("#%1: log-on joins the check of the same name and password")
                      .arg(client->id));
        waitForCheck(client);
        return;
    }
    if (kept && record.account && kept->checkedSalt == record.account->salt &&
        kept->account->level == record.account->level) {
        answerLogOn(client, *kept, fields);
        return;
    }
    waitForCheck(client);
    CheckQueue::Job job;
    job.address = client->remote;
    job.name = cutName;
    job.key = key;
    job.knownOrigin = knownOrigin;
    job.check = check;
    job.work = [check, full = fullCheck_ ? fullCheck_ : keyDerivation(&store_),
                verifierKey = verifierKey_] {
        if (!check->verifier.isEmpty() && check->account &&
            crypto::sameBytes(Verifiers::verifierOf(verifierKey, *check->account, check->password),
                              check->verifier)) {
            check->matches = check->fromVerifier = true;
            return;
        }
        full(*check);
        if (check->unanswered && !check->fallbackVerifier.isEmpty() && check->account &&
            crypto::sameBytes(Verifiers::verifierOf(verifierKey, *check->account, check->password),
                              check->fallbackVerifier)) {
            check->unanswered = false;
            check->matches = check->fromVerifier = true;
        }
    };
    job.finished = [this, check, address = client->remote] {
        return checkFinished(*check, address);
    };
    debugLine(QStringLiteral("#%1: log-on checked in turn, %2 check(s) before it%3")
                  .arg(client->id)
                  .arg(checks_.waiting() + checks_.running())
                  .arg(waitsForTurn ? QStringLiteral(", its address slowed") : QString()));
    checks_.ask(client->id, std::move(job), answer);
}

bool MessageServer::checkFinished(PasswordCheck& check, const QString& address)
{
    if (check.throttled || check.unanswered)
        return false;
    metrics::count(check.fromVerifier ? metrics::Counter::PasswordChecksVerifier
                                      : metrics::Counter::PasswordChecksFull);
    if (!check.matches) {
        check.answerDelayMs = gate_.failed(check.userName, address);
        return false;
    }
    gate_.succeeded(check.userName, address);
    Account account = *check.account;
    if (check.found)
        keepDirectoryAccount(account);
    if (check.renewed) {
        // Not over a password an admin set since the check.
        const StoreResult renewed =
            store_.storePasswordHash(account.name, *check.renewed, check.checkedSalt);
        if (renewed == StoreResult::Ok) {
            logLine(QStringLiteral("password hash of %1 renewed").arg(account.name));
            account.salt = check.renewed->salt;
            account.iterations = check.renewed->iterations;
        } else if (renewed == StoreResult::Failed) {
            logLine(QStringLiteral("could not renew the password hash of %1: %2")
                        .arg(account.name, store_.lastError()));
        }
    }
    if (!check.fromVerifier && !verifierKey_.isEmpty())
        store_.keepVerifier(account.name,
                            Verifiers::verifierOf(verifierKey_, account, check.password),
                            verifierKeyId_);
    // Written again once a day at most: a crowd logging on again costs no write.
    if (QDateTime::currentSecsSinceEpoch() - check.originSeen >= 24 * 3600)
        store_.keepOrigin(account.name, address);
    return true;
}

void MessageServer::answerLogOn(Client* client, const PasswordCheck& check,
                                const QList<QByteArray>& fields)
{
    if (check.throttled) {
        refuseThrottled(client);
        return;
    }
    if (check.unanswered) {
        holdForDirectory(client, check, fields);
        return;
    }
    if (check.matches) {
        client->failedLogOns = 0;
        completeLogOn(client, check.userName, *check.account, fields);
        return;
    }
    if (mayLog(client))
        logLine(QStringLiteral("#%1: log-on refused for %2: %3")
                    .arg(client->id)
                    // A name that is no account's may be a password typed into the name field.
                    .arg(check.account
                             ? shown(check.userName)
                             : QStringLiteral("a name of %1 characters").arg(fields[1].size()),
                         check.note.isEmpty() ? QStringLiteral("wrong user name or password")
                                              : check.note));
    metrics::count(metrics::Counter::LogOnsRefused);
    if (check.answerDelayMs > 0) {
        answerLogOnLater(client, check.answerDelayMs);
        return;
    }
    send(client, frame({"Invalid", kInvalidLogon}));
    logOnFailed(client);
}

void MessageServer::waitForCheck(Client* client)
{
    client->checking = true;
    client->heldBytes = 0;
    client->socket->pauseReading(true); // checking
}

void MessageServer::offThread(Client* client, std::function<void()> work,
                              std::function<void(Client*)> then, bool carriedOut)
{
    waitForCheck(client);
    CheckQueue::Job job;
    job.address = client->remote;
    job.carriedOut = carriedOut;
    job.work = std::move(work);
    // A request received whole is carried out even when its connection goes meanwhile.
    checks_.ask(client->id, std::move(job),
                [this, id = client->id, then = std::move(then), carriedOut](const PasswordCheck&) {
                    checkDone(id, true, then, carriedOut);
                });
}

bool MessageServer::leaveCheck(Client* client)
{
    if (!client->checking)
        return true;
    if (!checks_.leave(client->id))
        return false;
    client->checking = false;
    return true;
}

void MessageServer::checkDone(quint64 id, bool ran, const std::function<void(Client*)>& then,
                              bool carriedOut)
{
    Client* client = clientById(id);
    if (!client)
        return;
    client->checking = false;
    updateReading(client);
    // A connection lost meanwhile gets no answer: above all, nobody is logged on by it (the
    // user may well have a newer session by now).
    if (!ran || client->socket->peerClosed())
        client->lost = true;
    if (carriedOut ? ran : !client->lost && !shuttingDown_)
        then(client);
    if (!client->checking)
        resumeInput(client);
}

void MessageServer::answerLogOnLater(Client* client, qint64 delayMs)
{
    // The connection is not read meanwhile, as during the check.
    client->checking = true;
    client->socket->pauseReading(true); // checking
    QTimer::singleShot(delayMs, this, [this, id = client->id] {
        Client* c = clientById(id);
        if (!c)
            return;
        c->checking = false;
        updateReading(c);
        send(c, frame({"Invalid", kInvalidLogon}));
        logOnFailed(c);
        resumeInput(c);
    });
}

void MessageServer::completeLogOn(Client* client, const QString& userName, const Account& account,
                                  const QList<QByteArray>& fields)
{
    const QByteArray name = toWire(userName);
    bool failed = false;
    const QString minimum = store_.minimumVersion(&failed);
    if (failed) {
        routeLater(client, fields); // neither let in unchecked nor refused: held
        return;
    }
    const QString version = fromWire(fields[3]);
    if (!minimum.isEmpty() && compareVersions(version, minimum) < 0) {
        logLine(QStringLiteral("#%1: log-on refused for %2: version %3 below %4")
                    .arg(client->id)
                    .arg(userName, shown(version), minimum));
        send(client,
             frame({"Version", toWire(QStringLiteral("This version (%1) can no longer log on. "
                                                     "Please install version %2 or later.")
                                          .arg(version, minimum))}));
        metrics::count(metrics::Counter::LogOnsRefused);
        return;
    }

    metrics::count(metrics::Counter::LogOnsAccepted);
    if (Client* older = online_.value(name)) {
        logLine(QStringLiteral("%1: replaced by a new log-on on #%2")
                    .arg(older->who())
                    .arg(client->id));
        online_.remove(name);
        older->loggedOn = false;
        send(older, frame({"OtLog", kOtherLogon}));
        endConnection(older);
        // Its backlog waits for what the closing session does not get to its peer.
        if (!older->gone)
            client->predecessor = older->id;
    }
    if (node_) {
        // The database says where the user was, even when this node has not heard yet.
        node_->cameHere(name);
        const QString elsewhere = node_->setPresent(name, account.level);
        if (!elsewhere.isEmpty()) {
            logLine(QStringLiteral("#%1 %2: replaces the session on node %3")
                        .arg(client->id)
                        .arg(userName, elsewhere));
            node_->endSessionThere(elsewhere, name);
        }
    }

    // Kept for good, not in a block of its own (see InternedNames.h); the table by name shares it.
    client->name = internedName(name);
    client->level = account.level;
    client->loggedOn = true;
    client->directory = account.directory;
    client->password = account.directory ? fields[2] : QByteArray();
    if (client->anonymous) {
        client->anonymous = false;
        listener_.release(client->remote);
    }
    // Those who left before are told so before the newcomer is among the users on: it never
    // hears of its own leaving.
    if (!wentFromHere_.empty())
        tellWentFromHere();
    // The others on now, framed as frame() would, in one buffer: with a crowd on, a list of its
    // own for each name was most of a log-on's cost.
    QByteArray users = QByteArrayLiteral("USRS");
    users.reserve(online_.size() * (name.size() + 2) + 64);
    users += kSeparator;
    for (auto it = online_.cbegin(); it != online_.cend(); ++it) {
        appendAddress(&users, it.value()->name, it.value()->level);
        users += kSeparator;
    }
    online_.insert(client->name, client);
    logLine(QStringLiteral("%1: logged on, level %2, version %3")
                .arg(client->who())
                .arg(client->level)
                .arg(shown(version)));
    // The adapter address is personal data.
    debugLine(QStringLiteral("%1: adapter %2").arg(client->who(), shown(fields[4])));

    send(client, frame({"LIU", name, QByteArray::number(client->level)}));
    if (node_) {
        for (const QByteArray& address : node_->remoteAddresses())
            users += address + kSeparator;
    }
    users += "ExitEnd";
    users += kTerminator;
    send(client, users);
    cameHere(client);
    if (node_)
        node_->announce("usrs", client->address());

    // Kept messages follow the reply, a batch at a time as the socket drains; each batch's
    // rows go once handed to the socket, so a drop part way leaves the rest for next time.
    client->backlog = true;
    client->backlogAfter = 0;
    client->backlogCount = 0;
    client->backlogRows.clear();
    client->backlogNext = 0;
    client->backlogAllRead = false;
    pump(client);
}

void MessageServer::logOnFailed(Client* client)
{
    if (++client->failedLogOns >= kFailuresPerConnection) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: %2 failed log-ons in a row, connection closed")
                        .arg(client->who())
                        .arg(client->failedLogOns));
        endConnection(client);
    }
}

void MessageServer::changePassword(Client* client, const QList<QByteArray>& fields)
{
    const QByteArray name = toWire(normalizeUserName(fromWire(fields[1])));
    const QString password = fromWire(fields[3]);
    QString problem;
    if (name != client->name)
        problem = QStringLiteral("You can only change your own password.");
    else if (client->directory && !directoryChange_)
        problem = fromWire(kPasswordInDirectory);
    else
        problem = passwordProblem(password);
    if (!problem.isEmpty()) {
        refusePasswordChange(client, problem);
        return;
    }
    // Each costs a key derivation: a connection gets a few at once, then one a minute.
    const qint64 now = clock_.elapsed();
    client->changesLeft =
        std::min(kPasswordChangeBurst,
                 client->changesLeft + double(now - client->changesAt) / kPasswordChangeGapMs);
    client->changesAt = now;
    if (client->changesLeft < 1) {
        refusePasswordChange(client, QStringLiteral("Too many password changes. Please try "
                                                    "again later."));
        return;
    }
    client->changesLeft -= 1;
    if (client->directory) {
        changeDirectoryPassword(client, fields[3]);
        return;
    }
    // The new hash is derived on a worker, in its turn with the log-ons, and stored here.
    auto hash = std::make_shared<PasswordHash>();
    const ServerStore* store = &store_;
    offThread(
        client, [store, hash, password] { *hash = store->hashPassword(toWire(password)); },
        [this, hash, name, level = client->level, newPassword = fields[3]](Client* c) {
            if (store_.storePasswordHash(fromWire(name), *hash) != StoreResult::Ok) {
                refusePasswordChange(c, fromWire(kPasswordNotChanged));
                return;
            }
            if (mayLog(c))
                logLine(QStringLiteral("%1: password changed").arg(c->who()));
            // The next log-on with the new password needs no key derivation either.
            if (!verifierKey_.isEmpty()) {
                Account account;
                account.name = fromWire(name);
                account.level = level;
                account.salt = hash->salt;
                account.iterations = hash->iterations;
                store_.keepVerifier(account.name,
                                    Verifiers::verifierOf(verifierKey_, account, newPassword),
                                    verifierKeyId_);
            }
            send(c, frame({"CHPASS", kPasswordChanged, "S", newPassword}));
        },
        true);
}

void MessageServer::refusePasswordChange(Client* client, const QString& problem)
{
    if (mayLog(client))
        logLine(QStringLiteral("%1: password change refused: %2").arg(client->who(), problem));
    send(client, frame({"CHPASS", toWire(problem), "F"}));
}

} // namespace wispline::server
