// The way in: log-ons checked off the routing thread through the gate, the log-on deadline,
// and password changes.
#include "base/ServerLog.h"
#include "base/ServerMetrics.h"
#include "cluster/ServerNode.h"
#include "routing/MessageServerClient.h"

namespace wispline::server
{

void MessageServer::closeLateLogOns()
{
    const qint64 now = clock_.elapsed();
    while (!deadlines_.empty() && deadlines_.front().second <= now) {
        const auto found = clients_.find(deadlines_.front().first);
        deadlines_.pop_front();
        if (found == clients_.end() || found->second->loggedOn || found->second->gone)
            continue;
        Client* client = found->second.get();
        // A log-on held while the database is away is not the client's delay: it gets another
        // log-on time (the latest deadline of all, so the queue stays in order).
        if (client->storeWait) {
            deadlines_.emplace_back(client->id, now + limits_.logOnTimeMs);
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
    // A throttled attempt is refused unchecked: it learns nothing, costs no key derivation and
    // counts for nothing. The name is cut: anything longer is no account name.
    const QString cutName = userName.left(kMaxNameLength + 1);
    switch (gate_.admit(cutName, client->remote)) {
    case LogOnGate::Admission::Check:
        break;
    case LogOnGate::Admission::Throttled:
        metrics::count(metrics::Counter::LogOnsThrottled);
        send(client, frame({"Invalid", kInvalidLogon}));
        logOnFailed(client);
        return;
    case LogOnGate::Admission::Busy:
        // Left unanswered: the client asks again every second, whereas any answer would end
        // it. An office behind one address logging on at once only waits its turn.
        if (mayLog(client))
            logLine(QStringLiteral("%1: too many password checks waiting, log-on left for the "
                                   "client to repeat")
                        .arg(client->who()));
        return;
    }
    // The key derivation runs on a worker; this connection's later messages wait for its
    // answer, the others' do not.
    auto check = std::make_shared<LogOnCheck>();
    check->userName = cutName;
    check->fields = fields;
    bool failed = false;
    check->account = store_.account(cutName, &failed);
    if (failed) {
        // A failed query is no answer: the log-on is held and checked again shortly, and the
        // client's own repeats wait behind it.
        routeLater(client, fields);
        return;
    }
    check->outdated = check->account && store_.hashIsOutdated(*check->account);
    if (check->account)
        check->checkedSalt = check->account->salt;
    const ServerStore* store = &store_;
    offThread(
        client,
        [store, check] {
            check->matches = store->passwordMatches(check->account, check->fields[2]);
            if (check->matches && check->outdated)
                check->renewed = store->hashPassword(check->fields[2]);
        },
        [this, check](Client* c) { finishLogOn(c, *check); });
}

void MessageServer::offThread(Client* client, std::function<void()> work,
                              std::function<void(Client*)> then, bool carriedOut)
{
    client->checking = true;
    client->heldBytes = 0;
    client->socket->pauseReading(true); // checking
    client->cancelled = std::make_shared<std::atomic<bool>>(false);
    const quint64 id = client->id;
    // A request received whole is carried out even when its connection goes meanwhile.
    gate_.run(client->remote,
              carriedOut ? std::make_shared<std::atomic<bool>>(false) : client->cancelled,
              std::move(work), [this, id, then = std::move(then), carriedOut](bool ran) {
                  checkDone(id, ran, then, carriedOut);
              });
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

void MessageServer::finishLogOn(Client* client, const LogOnCheck& check)
{
    const QList<QByteArray>& fields = check.fields;
    const QString& userName = check.userName;
    if (check.matches) {
        gate_.succeeded(userName, client->remote);
        client->failedLogOns = 0;
        if (check.renewed) {
            // Not over a password an admin set since the check.
            const StoreResult renewed =
                store_.storePasswordHash(check.account->name, *check.renewed, check.checkedSalt);
            if (renewed == StoreResult::Ok)
                logLine(QStringLiteral("#%1: password hash of %2 renewed")
                            .arg(client->id)
                            .arg(userName));
            else if (renewed == StoreResult::Failed)
                logLine(QStringLiteral("#%1: could not renew the password hash of %2: %3")
                            .arg(client->id)
                            .arg(userName, store_.lastError()));
        }
        completeLogOn(client, userName, *check.account, fields);
        return;
    }
    if (mayLog(client))
        logLine(QStringLiteral("#%1: log-on refused for %2: wrong user name or password")
                    .arg(client->id)
                    .arg(shown(userName)));
    metrics::count(metrics::Counter::LogOnsRefused);
    const qint64 delay = gate_.failed(userName, client->remote);
    if (delay > 0) {
        answerLogOnLater(client, delay);
        return;
    }
    send(client, frame({"Invalid", kInvalidLogon}));
    logOnFailed(client);
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

    client->name = name;
    client->level = account.level;
    client->loggedOn = true;
    if (client->anonymous) {
        client->anonymous = false;
        listener_.release(client->remote);
    }
    const std::vector<Client*> others = onlineClients();
    online_.insert(name, client);
    logLine(QStringLiteral("%1: logged on, level %2, version %3")
                .arg(client->who())
                .arg(client->level)
                .arg(shown(version)));
    // The adapter address is personal data.
    debugLine(QStringLiteral("%1: adapter %2").arg(client->who(), shown(fields[4])));

    send(client, frame({"LIU", name, QByteArray::number(client->level)}));
    QList<QByteArray> users{"USRS"};
    users.reserve(qsizetype(others.size()) + 1);
    for (const Client* other : others)
        users.append(other->address());
    if (node_) {
        for (const QByteArray& address : node_->remoteAddresses())
            users.append(address);
    }
    send(client, frame(users));
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
    else
        problem = passwordProblem(password);
    if (!problem.isEmpty()) {
        refusePasswordChange(client, problem);
        return;
    }
    // The new hash is derived on a worker and stored here.
    auto hash = std::make_shared<PasswordHash>();
    const ServerStore* store = &store_;
    offThread(
        client, [store, hash, password] { *hash = store->hashPassword(toWire(password)); },
        [this, hash, name, newPassword = fields[3]](Client* c) {
            if (store_.storePasswordHash(fromWire(name), *hash) != StoreResult::Ok) {
                refusePasswordChange(c, QStringLiteral("The password could not be changed. "
                                                       "Please try again later."));
                return;
            }
            if (mayLog(c))
                logLine(QStringLiteral("%1: password changed").arg(c->who()));
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
