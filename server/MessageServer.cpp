#include "MessageServer.h"

#include "ClientConnection.h"
#include "ServerLog.h"
#include "ServerNode.h"
#include "ServerRules.h"
#include "ServerStore.h"

#include <QSet>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <deque>
#include <unistd.h>

namespace wispline::server
{
namespace
{

const QByteArray kInvalidLogon = QByteArrayLiteral("Invalid user name or password.");
const QByteArray kOtherLogon =
    QByteArrayLiteral("You have been logged off because your user name logged on elsewhere.");
const QByteArray kPasswordChanged = QByteArrayLiteral("Password changed successfully.");
const QByteArray kBusy = QByteArrayLiteral("The server is busy. Please try again in a minute.");

// Rows of an offline backlog or of the day's messages sent in one go, and the output below
// which the next batch is sent.
constexpr int kBatchRows = 256;
// The day's messages are read a smaller batch at a time, each when the one before has gone.
constexpr int kDayBatchRows = 128;
constexpr qint64 kPumpLowWater = 256 * 1024;

// What a connection sends while its password is checked waits, up to this much; more closes it.
constexpr qsizetype kMaxHeldBytes = 4096;
// Bytes read from one connection in one turn of the event loop; the rest waits for the next.
constexpr qint64 kReadBudget = 128 * 1024;
// Lines one connection may put in the log; what it causes beyond that is counted.
constexpr int kLogBudget = 50;
// Recipients looked up for one connection: kNamedBurst at once, kNamedPerSecond over time;
// names known to exist are remembered, up to kMaxKnownNames.
constexpr double kNamedBurst = 2 * kMaxRecipients;
constexpr double kNamedPerSecond = 200;
constexpr qsizetype kMaxKnownNames = 200000;
// Day downloads: a user may start kDayBurst at once, then one per kDayGapMs.
constexpr double kDayBurst = 5;
constexpr qint64 kDayGapMs = 10000;

// Longest client-supplied value written to the log.
constexpr qsizetype kLoggedChars = 64;

// A value from a client, for the log: control characters shown as ".", long ones cut.
QString shown(const QString& value)
{
    QString cut = value.left(kLoggedChars);
    for (QChar& c : cut) {
        if (c.unicode() < 0x20 || (c.unicode() >= 0x7f && c.unicode() <= 0x9f))
            c = QLatin1Char('.');
    }
    return value.size() > kLoggedChars ? cut + QStringLiteral("...") : cut;
}

QString shown(const QByteArray& bytes)
{
    return shown(fromWire(QByteArrayView(bytes).first(std::min(bytes.size(), kLoggedChars + 1))));
}

// The command word and the rest of a message, for the log; long texts are cut.
QString excerpt(const QByteArray& bytes)
{
    QByteArray shown = bytes.left(60);
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e)
            c = '.';
    }
    return fromWire(shown) + (bytes.size() > 60 ? QStringLiteral("...") : QString()) +
           QStringLiteral(" (%1 bytes)").arg(bytes.size());
}

} // namespace

// What a log-on check takes to a worker and brings back.
struct MessageServer::LogOnCheck {
    QString userName;
    QList<QByteArray> fields;
    std::optional<Account> account;
    bool outdated = false;
    QByteArray checkedSalt;
    bool matches = false;
    std::optional<PasswordHash> renewed;
};

struct MessageServer::Client {
    quint64 id = 0;
    std::unique_ptr<ClientConnection> socket;
    InboundSplitter splitter;
    std::unique_ptr<QTimer> settleTimer; // made on the first message that waits for its end
    QString peer;
    QString remote;         // the peer's address alone
    int failedLogOns = 0;   // in a row on this connection
    bool anonymous = false; // counted by the listener until logged on
    int logBudget = kLogBudget;
    double namedLeft = kNamedBurst;
    qint64 namedAt = 0; // ms on clock_
    qint64 unlogged = 0;
    QByteArray name; // set once logged on
    int level = 0;
    bool loggedOn = false;
    bool gone = false;
    // While its log-on is checked off the thread, a connection's later messages wait here, in
    // order; a close meanwhile is acted on once the answer is back.
    bool checking = false;
    bool slowed = false; // not read for a while: it asked for more than its share
    bool lost = false;
    QList<InboundPiece> held;
    qsizetype heldBytes = 0;
    std::shared_ptr<std::atomic<bool>> cancelled; // set when the connection goes meanwhile

    // Bytes handed to the socket so far, and the message texts among them that the socket has
    // not yet written through (kept only while it holds output back).
    struct Unsent {
        qint64 end = 0;
        QByteArray display;
        qint64 offlineId = 0;
    };
    qint64 queued = 0;
    qint64 through = 0; // of those, written to the kernel as last seen
    std::deque<Unsent> unsent;

    // Long outputs are read from the store a batch at a time and handed over row by row.
    bool backlog = false;    // offline messages still to hand over
    qint64 backlogAfter = 0; // the last row handed over
    int backlogCount = 0;    // rows handed over
    QList<OfflineMessage> backlogRows;
    qsizetype backlogNext = 0;
    bool backlogAllRead = false;
    bool dayAsked = false;  // a download asked for and not yet ended
    bool dayStream = false; // the day's messages still to send
    QDate day;
    qint64 dayUpTo = 0;      // the last message committed when asked for
    qint64 dayAfter = 0;     // the last row sent
    bool dayReading = false; // a batch is being read

    QByteArray address() const { return addressOf(name, level); }
    QString who() const
    {
        return loggedOn ? QStringLiteral("#%1 %2").arg(id).arg(fromWire(name))
                        : QStringLiteral("#%1 %2").arg(id).arg(peer);
    }
};

MessageServer::MessageServer(ServerStore& store, QObject* parent)
    : QObject(parent), store_(store), gate_(this), dayReader_(store)
{
    listener_.accepted = [this](int descriptor) { accept(descriptor); };
    clock_.start();
    deadlineTimer_.setSingleShot(true);
    connect(&deadlineTimer_, &QTimer::timeout, this, &MessageServer::closeLateLogOns);
}

void MessageServer::setLimits(const Limits& limits)
{
    limits_ = limits;
    listener_.setLimits(limits.maxAnonymous, limits.maxAnonymousPerAddress);
    gate_.setLimits(limits.maxChecks, limits.maxChecksPerAddress);
}

MessageServer::~MessageServer()
{
    // Answers still to come are dropped with this object; checks under way finish first.
    gate_.stop();
    for (auto& entry : clients_) {
        // Clients still connected after the shutdown's grace period keep what they never got.
        Client* client = entry.second.get();
        client->through = client->queued - client->socket->bytesToWrite();
        keepUnsent(client);
        client->socket->disconnected = nullptr;
        client->socket->abort();
    }
}

bool MessageServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    return listener_.listen(address, port, error);
}

void MessageServer::accept(int descriptor)
{
    if (shuttingDown_) {
        ::close(descriptor);
        return;
    }
    auto socket = std::make_unique<ClientConnection>(descriptor);
    const QString remote = socket->peerAddress().toString();
    if (!listener_.admit(remote)) {
        socket->abort();
        return;
    }
    auto client = std::make_unique<Client>();
    Client* c = client.get();
    c->id = nextId_++;
    c->socket = std::move(socket);
    c->remote = remote;
    c->anonymous = true;
    deadlines_.emplace_back(c->id, clock_.elapsed() + limits_.logOnTimeMs);
    if (!deadlineTimer_.isActive())
        deadlineTimer_.start(limits_.logOnTimeMs);
    c->peer = QStringLiteral("%1:%2").arg(c->remote).arg(c->socket->peerPort());
    clients_.emplace(c->id, std::move(client));
    c->socket->readyRead = [this, c] { readFrom(c); };
    c->socket->disconnected = [this, c] { connectionLost(c); };
    c->socket->bytesWritten = [this, c] {
        c->through = c->queued - c->socket->bytesToWrite();
        while (!c->unsent.empty() && c->unsent.front().end <= c->through)
            c->unsent.pop_front();
        pump(c);
    };
    c->socket->failed = [c](const QString& reason) {
        if (!c->gone)
            logLine(QStringLiteral("%1: socket error: %2").arg(c->who(), reason));
    };
    if (mayLog(c))
        logLine(QStringLiteral("#%1 connected from %2").arg(c->id).arg(c->peer));
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
        if (mayLog(client))
            logLine(QStringLiteral("%1: not logged on within %2 s, connection closed")
                        .arg(client->who())
                        .arg(limits_.logOnTimeMs / 1000.0));
        forget(client);
    }
    if (!deadlines_.empty())
        deadlineTimer_.start(int(std::max<qint64>(deadlines_.front().second - now, 1)));
}

bool MessageServer::mayLog(Client* client)
{
    if (client->logBudget > 0) {
        --client->logBudget;
        return true;
    }
    ++client->unlogged;
    return false;
}

void MessageServer::readFrom(Client* client)
{
    QList<InboundPiece> pieces;
    // Read until the kernel has no more, or the budget of this turn is spent (the rest waits
    // for the next turn), or a check begins: a connection is not read while its password is.
    qint64 budget = kReadBudget;
    while (!client->gone && !client->checking && !client->slowed && budget > 0) {
        pieces.clear();
        // Read into one buffer kept for all: a read sized to the limit would stay allocated at
        // that size with each connection's unfinished message.
        readBuffer_.resize(client->splitter.limit());
        const qint64 got = client->socket->read(readBuffer_.data(), readBuffer_.size());
        if (got <= 0)
            break; // nothing more for now, or the end: then disconnected() follows
        budget -= got;
        client->splitter.feed(QByteArray(readBuffer_.constData(), got), pieces);
        handlePieces(client, pieces);
    }
    // The settle timer waits until the log-on check is back: the input is read on from there.
    if (client->gone || client->checking)
        return;
    if (client->splitter.pendingSize() > 0) {
        if (!client->settleTimer) {
            client->settleTimer = std::make_unique<QTimer>();
            client->settleTimer->setSingleShot(true);
            connect(client->settleTimer.get(), &QTimer::timeout, this,
                    [this, client] { settle(client); });
        }
        client->settleTimer->start(settleMs_);
    } else if (client->settleTimer) {
        client->settleTimer->stop();
    }
}

void MessageServer::settle(Client* client)
{
    if (client->gone || client->checking)
        return;
    QList<InboundPiece> pieces;
    client->splitter.settle(pieces);
    handlePieces(client, pieces);
}

void MessageServer::handlePieces(Client* client, const QList<InboundPiece>& pieces)
{
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (client->gone)
            return;
        if (client->checking) {
            for (; i < pieces.size(); ++i) {
                client->heldBytes += pieces[i].text.size();
                client->held.append(pieces[i]);
            }
            if (client->heldBytes > kMaxHeldBytes) {
                if (mayLog(client))
                    logLine(QStringLiteral("%1: over %2 bytes sent during a password check, "
                                           "connection closed")
                                .arg(client->who())
                                .arg(kMaxHeldBytes));
                client->held.clear();
                client->socket->abort();
            }
            return;
        }
        const InboundPiece& piece = pieces[i];
        if (piece.kind == InboundPiece::Message) {
            handle(client, piece.text);
            continue;
        }
        if (mayLog(client))
            logLine(piece.kind == InboundPiece::BadFieldCount
                        ? QStringLiteral("%1: wrong field count: %2")
                              .arg(client->who(), excerpt(piece.text))
                    : piece.kind == InboundPiece::Garbage
                        ? QStringLiteral("%1: unknown command: %2")
                              .arg(client->who(), excerpt(piece.text))
                        : QStringLiteral("%1: unfinished message over %2 bytes: %3")
                              .arg(client->who())
                              .arg(client->splitter.limit())
                              .arg(excerpt(piece.text)));
        // Before its log-on a connection may send a log-on and nothing else.
        if (!client->loggedOn)
            forget(client);
    }
}

void MessageServer::handle(Client* client, const QByteArray& message)
{
    QList<QByteArray> fields = message.split(kSeparator);
    for (QByteArray& field : fields)
        blankControls(field);
    const QByteArray& command = fields.front();
    if (command == "LIU") {
        logOn(client, fields);
        return;
    }
    if (!client->loggedOn) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: %2 before log-on, connection closed")
                        .arg(client->who(), shown(command)));
        forget(client);
        return;
    }
    if (command == "SND")
        route(client, fields);
    else if (command == "HND")
        handshake(client);
    else if (command == "LOU")
        logOut(client);
    else if (command == "ALLMsgs")
        sendDayMessages(client, fields);
    else if (command == "CHPASS")
        changePassword(client, fields);
}

void MessageServer::logOn(Client* client, const QList<QByteArray>& fields)
{
    const QString userName = normalizeUserName(fromWire(fields[1]));
    if (client->loggedOn) {
        logLine(QStringLiteral("%1: second log-on on one connection (as %2), ignored")
                    .arg(client->who(), shown(userName)));
        return;
    }
    // A throttled attempt is refused unchecked: it learns nothing, costs no key derivation and
    // counts for nothing. The name is cut: anything longer is no account name.
    const QString cutName = userName.left(kMaxNameLength + 1);
    switch (gate_.admit(cutName, client->remote)) {
    case LogOnGate::Admission::Check:
        break;
    case LogOnGate::Admission::Throttled:
        send(client, frame({"Invalid", kInvalidLogon}));
        logOnFailed(client);
        return;
    case LogOnGate::Admission::Busy:
        if (mayLog(client))
            logLine(QStringLiteral("%1: too many password checks waiting, log-on refused")
                        .arg(client->who()));
        send(client, frame({"Invalid", kBusy}));
        endConnection(client);
        return;
    }
    // The key derivation runs on a worker; this connection's later messages wait for its
    // answer, the others' do not.
    auto check = std::make_shared<LogOnCheck>();
    check->userName = cutName;
    check->fields = fields;
    check->account = store_.account(cutName);
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
                              std::function<void(Client*)> then)
{
    client->checking = true;
    client->heldBytes = 0;
    client->socket->pauseReading(true); // checking
    client->cancelled = std::make_shared<std::atomic<bool>>(false);
    const quint64 id = client->id;
    gate_.run(client->remote, client->cancelled, std::move(work),
              [this, id, then = std::move(then)](bool ran) { checkDone(id, ran, then); });
}

void MessageServer::checkDone(quint64 id, bool ran, const std::function<void(Client*)>& then)
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
    if (!client->lost && !shuttingDown_)
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
    const qint64 delay = gate_.failed(userName, client->remote);
    if (delay > 0) {
        answerLogOnLater(client, delay);
        return;
    }
    send(client, frame({"Invalid", kInvalidLogon}));
    logOnFailed(client);
}

void MessageServer::resumeInput(Client* client)
{
    if (client->gone)
        return;
    if (client->lost && !client->loggedOn)
        client->held.clear();
    const QList<InboundPiece> held = std::move(client->held);
    client->held.clear();
    handlePieces(client, held);
    if (client->gone || client->checking)
        return;
    if (client->lost)
        connectionLost(client);
    else
        readFrom(client);
}

void MessageServer::completeLogOn(Client* client, const QString& userName, const Account& account,
                                  const QList<QByteArray>& fields)
{
    const QByteArray name = toWire(userName);
    const QString minimum = store_.minimumVersion();
    const QString version = fromWire(fields[3]);
    if (!minimum.isEmpty() && compareVersions(version, minimum) < 0) {
        logLine(QStringLiteral("#%1: log-on refused for %2: version %3 below %4")
                    .arg(client->id)
                    .arg(userName, shown(version), minimum));
        send(client,
             frame({"Version", toWire(QStringLiteral("This version (%1) can no longer log on. "
                                                     "Please install version %2 or later.")
                                          .arg(version, minimum))}));
        return;
    }

    if (Client* older = online_.value(name)) {
        logLine(QStringLiteral("%1: replaced by a new log-on on #%2")
                    .arg(older->who())
                    .arg(client->id));
        online_.remove(name);
        older->loggedOn = false;
        send(older, frame({"OtLog", kOtherLogon}));
        endConnection(older);
    }
    if (node_) {
        const QString elsewhere = node_->nodeOf(name);
        if (!elsewhere.isEmpty()) {
            logLine(QStringLiteral("#%1 %2: replaces the session on node %3")
                        .arg(client->id)
                        .arg(userName, elsewhere));
            node_->endSessionThere(elsewhere, name);
        }
        node_->setPresent(name, account.level);
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
    broadcast(frame({"USRS", client->address()}), client);
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

void MessageServer::handshake(Client* client)
{
    const Stamp& now = stamp();
    send(client, frame({"HND", toWire(now.day + QLatin1Char(' ') + now.time)}));
}

void MessageServer::logOut(Client* client)
{
    logLine(QStringLiteral("%1: logged out").arg(client->who()));
    const QByteArray address = client->address();
    online_.remove(client->name);
    goneFromHere(client->name);
    client->loggedOn = false;
    broadcast(frame({"LGO", address}), client);
    if (node_)
        node_->announce("lgo", address);
    endConnection(client);
}

void MessageServer::route(Client* client, const QList<QByteArray>& fields)
{
    const QByteArray& sender = client->name;
    QByteArray claimedName;
    int claimedLevel = 0;
    if ((!splitAddress(fields[1], &claimedName, &claimedLevel) || claimedName != sender) &&
        mayLog(client))
        logLine(QStringLiteral("%1: message signed %2, sent as %1")
                    .arg(client->who(), shown(fields[1])));

    // Only what this user's client could have addressed is routed.
    const QByteArray& list = fields[3];
    const QByteArray& code = fields[4];
    if (const char* problem = addressingProblem(client->level, list, code)) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: message refused: %2")
                        .arg(client->who(), QLatin1String(problem)));
        return;
    }
    const QByteArray body = sanitizeField(fields[2].trimmed());
    if (body.isEmpty()) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: empty message, ignored").arg(client->who()));
        return;
    }

    // Named recipients are kept for later when offline; group codes reach connected users.
    struct Target {
        QByteArray name;
        Client* online;
        QString node; // connected to another node
    };
    std::vector<Target> targets;
    QSet<QByteArray> seen{sender};
    if (list != "NOONE") {
        QList<QByteArray> unsure; // neither connected here nor known: one query tells
        for (const QByteArray& address : list.split(',')) {
            QByteArray name;
            int level = 0;
            if (!splitAddress(address, &name, &level) || seen.contains(name))
                continue;
            seen.insert(name);
            Client* online = online_.value(name);
            targets.push_back({name, online, QString()});
            if (!online && !knownNames_.contains(name))
                unsure.append(name);
        }
        if (!unsure.isEmpty() && !mayLookUp(client, unsure.size()))
            return;
        const QSet<QByteArray> found =
            unsure.isEmpty() ? QSet<QByteArray>() : store_.knownNames(unsure);
        const qsizetype before = targets.size();
        const auto unknown = std::remove_if(targets.begin(), targets.end(), [&](Target& t) {
            if (t.online)
                return false;
            if (!knownNames_.contains(t.name) && !found.contains(t.name))
                return true;
            if (node_)
                t.node = node_->nodeOf(t.name);
            return false;
        });
        targets.erase(unknown, targets.end());
        if (qsizetype(targets.size()) < before && mayLog(client))
            logLine(QStringLiteral("%1: %2 unknown recipient(s) left out")
                        .arg(client->who())
                        .arg(before - qsizetype(targets.size())));
        // Accounts are never removed, so a name found once stays known.
        if (knownNames_.size() + found.size() > kMaxKnownNames)
            knownNames_.clear();
        knownNames_.unite(found);
    }

    // A user connected here or on another node, once; nobody when connected nowhere.
    auto addOnlineLevel = [&](int level) {
        for (Client* other : onlineClients()) {
            if (other->level == level && !seen.contains(other->name)) {
                seen.insert(other->name);
                targets.push_back({other->name, other, QString()});
            }
        }
        if (!node_)
            return;
        for (const QByteArray& name : node_->remoteUsers(level)) {
            if (seen.contains(name) || online_.contains(name))
                continue;
            const QString elsewhere = node_->nodeOf(name);
            if (elsewhere.isEmpty())
                continue;
            seen.insert(name);
            targets.push_back({name, nullptr, elsewhere});
        }
    };
    if (code == "L2A")
        addOnlineLevel(2);
    else if (code == "L3A")
        addOnlineLevel(3);

    if (targets.empty()) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: message reached nobody").arg(client->who()));
        return;
    }
    const Stamp& now = stamp();
    const QByteArray display = displayText(sender, body, now.clock);
    const QByteArray framed = frame({"SND", display});
    bool kept = false;
    for (const Target& target : targets) {
        // Recorded for the day in the same transaction that hands it to the other node.
        if (!target.node.isEmpty()) {
            node_->deliver(target.node, now.day, now.time, sender, target.name, body, display,
                           now.local.toString(Qt::ISODate));
            continue;
        }
        store_.recordMessage(now.day, now.time, sender, target.name, body, !target.online);
        if (target.online) {
            send(target.online, framed, &display);
        } else {
            store_.queueOffline(now.local.toString(Qt::ISODate), target.name, display, 0, false);
            kept = true;
        }
    }
    // The messages kept for offline recipients are committed together.
    if (kept && !store_.flushOffline())
        logLine(QStringLiteral("%1: messages for offline users not saved yet: %2")
                    .arg(client->who(), store_.lastError()));
}

void MessageServer::sendDayMessages(Client* client, const QList<QByteArray>& fields)
{
    if (client->dayAsked) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: day messages asked for again before the end, ignored")
                        .arg(client->who()));
        return;
    }
    client->dayAsked = true;
    // A user may start a few downloads at once, then one every kDayGapMs: a download loop costs
    // the others nothing to speak of. One asked for too soon waits its turn.
    const qint64 now = clock_.elapsed();
    DayAllowance& allowance = dayAllowance_[client->name];
    if (allowance.at == 0)
        allowance.left = kDayBurst;
    allowance.left = std::min(kDayBurst, allowance.left + double(now - allowance.at) / kDayGapMs);
    allowance.at = now;
    allowance.left -= 1;
    const qint64 wait = allowance.left >= 0 ? 0 : qint64(-allowance.left * kDayGapMs);
    QTimer::singleShot(wait, this,
                       [this, id = client->id, password = fields[2], asked = fields[1]] {
                           Client* c = clientById(id);
                           if (!c || !c->loggedOn)
                               return;
                           QByteArray name;
                           int level = 0;
                           send(c, frame({"ALLM", "START"}));
                           if (!splitAddress(asked, &name, &level) || name != c->name) {
                               refuseDayMessages(c, asked);
                               return;
                           }
                           checkDayMessages(c, password);
                       });
}

void MessageServer::checkDayMessages(Client* client, const QByteArray& password)
{
    // The password's key derivation runs on a worker, like a log-on's; the download reads up to
    // what is committed once the messages recorded so far are.
    auto matches = std::make_shared<bool>(false);
    const ServerStore* store = &store_;
    offThread(
        client,
        [store, matches, account = store_.account(fromWire(client->name)), password] {
            *matches = store->passwordMatches(account, password);
        },
        [this, matches](Client* c) {
            if (!*matches) {
                refuseDayMessages(c, c->address());
                return;
            }
            store_.whenCommitted([this, id = c->id](qint64 upTo) {
                if (Client* still = clientById(id); still && still->loggedOn)
                    startDayMessages(still, upTo);
            });
        });
}

void MessageServer::refuseDayMessages(Client* client, const QByteArray& asked)
{
    if (mayLog(client))
        logLine(QStringLiteral("%1: day messages refused for %2: wrong user or password")
                    .arg(client->who(), shown(asked)));
    client->dayAsked = false;
    send(client, frame({"ALLM", "END"}));
}

void MessageServer::startDayMessages(Client* client, qint64 upTo)
{
    // Sent a batch at a time as the socket drains, up to the last message committed by now.
    client->dayStream = true;
    client->day = stamp().local.date();
    client->dayUpTo = upTo;
    client->dayAfter = 0;
    pump(client);
}

void MessageServer::pump(Client* client)
{
    while (client->backlog && !client->gone && client->loggedOn && client->socket->isConnected() &&
           client->socket->bytesToWrite() < kPumpLowWater) {
        if (!pumpBacklog(client))
            return;
    }
    if (client->dayStream && !client->backlog && !client->dayReading && !client->gone &&
        client->socket->isConnected() && client->socket->bytesToWrite() < kPumpLowWater)
        readDayMessages(client);
}

void MessageServer::readDayMessages(Client* client)
{
    // One batch at a time, read and formatted on the reader's thread.
    client->dayReading = true;
    dayReader_.read(
        client->day, client->name, client->dayAfter, client->dayUpTo, kDayBatchRows,
        [](const DayMessage& m) {
            return frame({"ALLM", "MSG",
                          sanitizeField(toWire(dayLine(m.time, m.sender, m.recipient, m.body)))});
        },
        [this, id = client->id](const DayReader::Batch& batch) {
            Client* c = clientById(id);
            if (!c || !c->loggedOn)
                return;
            c->dayReading = false;
            if (batch.rows > 0) {
                c->dayAfter = batch.lastId;
                send(c, batch.bytes);
            }
            if (batch.rows < kDayBatchRows) {
                c->dayStream = false;
                c->dayAsked = false;
                send(c, frame({"ALLM", "END"}));
                return;
            }
            pump(c);
        });
}

bool MessageServer::mayLookUp(Client* client, qsizetype names)
{
    // Names looked up for one connection: kNamedBurst at once and kNamedPerSecond over time,
    // far above what anyone types; beyond that it is refused and not read for a while.
    const qint64 now = clock_.elapsed();
    client->namedLeft = std::min(kNamedBurst, client->namedLeft + double(now - client->namedAt) *
                                                                      kNamedPerSecond / 1000);
    client->namedAt = now;
    if (double(names) <= client->namedLeft) {
        client->namedLeft -= double(names);
        return true;
    }
    if (mayLog(client))
        logLine(QStringLiteral("%1: message refused: too many unknown recipients lately")
                    .arg(client->who()));
    slowDown(client, qint64((double(names) - client->namedLeft) * 1000 / kNamedPerSecond) + 1);
    return false;
}

void MessageServer::updateReading(Client* client)
{
    client->socket->pauseReading(client->checking || client->slowed);
}

void MessageServer::slowDown(Client* client, qint64 ms)
{
    if (client->slowed)
        return;
    client->slowed = true;
    updateReading(client);
    QTimer::singleShot(ms, this, [this, id = client->id] {
        if (Client* c = clientById(id)) {
            c->slowed = false;
            updateReading(c);
            if (!c->checking)
                readFrom(c);
        }
    });
}

MessageServer::Client* MessageServer::clientById(quint64 id) const
{
    const auto found = clients_.find(id);
    return found == clients_.end() || found->second->gone ? nullptr : found->second.get();
}

bool MessageServer::pumpBacklog(Client* client)
{
    if (client->backlogNext == client->backlogRows.size()) {
        client->backlogRows =
            client->backlogAllRead
                ? QList<OfflineMessage>()
                : store_.offlineBatch(client->name, client->backlogAfter, kBatchRows);
        client->backlogNext = 0;
        client->backlogAllRead = client->backlogRows.size() < kBatchRows;
        if (client->backlogRows.isEmpty()) {
            client->backlog = false;
            if (client->backlogCount > 0)
                logLine(QStringLiteral("%1: %2 offline message(s) delivered")
                            .arg(client->who())
                            .arg(client->backlogCount));
            return true;
        }
    }
    // Rows are handed over until the socket holds enough; the rest wait for it to drain. Each
    // row leaves the queue once handed over.
    const qint64 before = client->backlogAfter;
    while (client->backlogNext < client->backlogRows.size() &&
           client->socket->bytesToWrite() < kPumpLowWater) {
        const OfflineMessage& m = client->backlogRows[client->backlogNext++];
        send(client, frame({"OffL", m.text}), &m.text, m.id);
        if (client->gone)
            return false;
        client->backlogAfter = m.id;
        ++client->backlogCount;
    }
    if (client->backlogAfter != before &&
        !store_.dropOffline(client->name, before, client->backlogAfter))
        logLine(QStringLiteral("%1: delivered offline messages could not be removed: %2")
                    .arg(client->who(), store_.lastError()));
    return true;
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
            logLine(QStringLiteral("%1: password changed").arg(c->who()));
            send(c, frame({"CHPASS", kPasswordChanged, "S", newPassword}));
        });
}

void MessageServer::refusePasswordChange(Client* client, const QString& problem)
{
    logLine(QStringLiteral("%1: password change refused: %2").arg(client->who(), problem));
    send(client, frame({"CHPASS", toWire(problem), "F"}));
}

void MessageServer::send(Client* client, const QByteArray& framed, const QByteArray* display,
                         qint64 offlineId)
{
    if (client->gone || !client->socket->isConnected())
        return;
    if (client->socket->bytesToWrite() > kMaxQueuedOutput) {
        dropNonReader(client, display ? *display : QByteArray(), offlineId);
        return;
    }
    client->socket->write(framed);
    client->queued += framed.size();
    client->through = client->queued - client->socket->bytesToWrite();
    if (client->through == client->queued)
        client->unsent.clear();
    else if (display)
        client->unsent.push_back({client->queued, *display, offlineId});
}

void MessageServer::dropNonReader(Client* client, const QByteArray& display, qint64 offlineId)
{
    client->through = client->queued - client->socket->bytesToWrite();
    if (!display.isEmpty())
        client->unsent.push_back({client->queued + 1, display, offlineId});
    const int kept = keepUnsent(client);
    logLine(QStringLiteral("%1: not reading its messages, connection dropped; %2 message(s) kept "
                           "for its next log-on")
                .arg(client->who())
                .arg(kept));
    client->socket->abort();
}

int MessageServer::keepUnsent(Client* client)
{
    // What the socket has not written through was taken from its senders: it goes back to the
    // offline queue.
    int kept = 0;
    if (!client->name.isEmpty()) {
        const QString created = stamp().local.toString(Qt::ISODate);
        for (const Client::Unsent& u : client->unsent) {
            if (u.end > client->through) {
                store_.queueOffline(created, client->name, u.display, u.offlineId, false);
                ++kept;
            }
        }
        if (kept > 0 && !store_.flushOffline())
            logLine(QStringLiteral("%1: could not keep its unsent messages yet: %2")
                        .arg(client->who(), store_.lastError()));
    }
    client->unsent.clear();
    return kept;
}

void MessageServer::broadcast(const QByteArray& framed, const Client* except)
{
    for (Client* other : onlineClients()) {
        if (other != except)
            send(other, framed);
    }
}

std::vector<MessageServer::Client*> MessageServer::onlineClients() const
{
    std::vector<Client*> result;
    result.reserve(std::size_t(online_.size()));
    for (auto it = online_.cbegin(); it != online_.cend(); ++it)
        result.push_back(it.value());
    return result;
}

const MessageServer::Stamp& MessageServer::stamp()
{
    const qint64 second = QDateTime::currentMSecsSinceEpoch() / 1000;
    if (second != stamp_.second) {
        stamp_.second = second;
        stamp_.local = QDateTime::currentDateTime();
        stamp_.time = stamp_.local.time().toString(QStringLiteral("HH:mm:ss"));
        stamp_.clock = toWire(stamp_.time);
        stamp_.day = stamp_.local.date().toString(Qt::ISODate);
    }
    return stamp_;
}

void MessageServer::endConnection(Client* client)
{
    if (client->gone)
        return;
    // Whatever is still queued for the client is written before the close.
    if (client->socket->isConnected())
        client->socket->disconnectFromHost();
    else
        connectionLost(client);
}

void MessageServer::connectionLost(Client* client)
{
    if (client->gone)
        return;
    if (client->checking) {
        // Nothing more will come: a message that waited for more bytes is complete, and waits
        // behind the log-on like the rest.
        QList<InboundPiece> pieces;
        client->splitter.settle(pieces);
        client->held.append(pieces);
        client->lost = true;
        if (client->cancelled)
            *client->cancelled = true;
        return;
    }
    // Nothing more will come: a message that waited for more bytes is complete.
    if (client->splitter.pendingSize() > 0) {
        settle(client);
        if (client->gone)
            return;
    }
    if (!client->unsent.empty()) {
        const int kept = keepUnsent(client);
        if (kept > 0)
            logLine(QStringLiteral("%1: %2 unsent message(s) kept for its next log-on")
                        .arg(client->who())
                        .arg(kept));
    }
    if (client->loggedOn && online_.value(client->name) == client) {
        online_.remove(client->name);
        goneFromHere(client->name);
        client->loggedOn = false;
        logLine(
            QStringLiteral("#%1 %2: connection lost").arg(client->id).arg(fromWire(client->name)));
        broadcast(frame({"LGO", client->address()}), client);
        if (node_)
            node_->announce("lgo", client->address());
    } else {
        logLine(QStringLiteral("%1: connection closed").arg(client->who()));
    }
    forget(client);
}

void MessageServer::forget(Client* client)
{
    if (client->gone)
        return;
    client->gone = true;
    if (client->cancelled)
        *client->cancelled = true;
    if (client->anonymous) {
        client->anonymous = false;
        listener_.release(client->remote);
    }
    if (client->unlogged > 0)
        logLine(QStringLiteral("#%1: %2 more log line(s) about this connection left out")
                    .arg(client->id)
                    .arg(client->unlogged));
    if (client->settleTimer)
        client->settleTimer->stop();
    if (online_.value(client->name) == client) {
        online_.remove(client->name);
        goneFromHere(client->name);
    }
    // The connection is freed with its client on the next turn of the event loop: this may be
    // running inside one of its callbacks, which do nothing once the client is gone.
    client->socket->abort();
    auto it = clients_.find(client->id);
    if (it != clients_.end()) {
        departed_.push_back(std::move(it->second));
        clients_.erase(it);
    }
    if (departed_.size() == 1)
        QTimer::singleShot(0, this, [this] { departed_.clear(); });
    if (shuttingDown_ && clients_.empty())
        QTimer::singleShot(0, this, &MessageServer::closed);
}

void MessageServer::setNode(ServerNode* node)
{
    node_ = node;
    connect(node, &ServerNode::wake, this, &MessageServer::drainInbox);
    connect(node, &ServerNode::usersGone, this, [this](const QList<QByteArray>& addresses) {
        for (const QByteArray& address : addresses)
            broadcast(frame({"LGO", address}), nullptr);
    });
    connect(node, &ServerNode::presenceLost, this, [this] {
        for (const Client* client : onlineClients())
            node_->setPresent(client->name, client->level);
    });
}

void MessageServer::goneFromHere(const QByteArray& name)
{
    if (node_)
        node_->setAbsent(name);
}

void MessageServer::drainInbox()
{
    constexpr int kBatch = 1000;
    for (;;) {
        const QList<ServerNode::InboxRow> rows = node_->inbox(kBatch);
        if (rows.isEmpty())
            return;
        QList<ServerNode::InboxRow> toOffline;
        for (const ServerNode::InboxRow& row : rows) {
            Client* client = online_.value(row.recipient);
            if (row.kind == "usrs" || row.kind == "lgo") {
                QByteArray name;
                int level = 0;
                if (splitAddress(row.text, &name, &level))
                    node_->forgetNodeOf(name);
                broadcast(frame({row.kind.toUpper(), row.text}), nullptr);
            } else if (row.kind == "otlog") {
                if (!client)
                    continue;
                logLine(
                    QStringLiteral("%1: replaced by a log-on on another node").arg(client->who()));
                online_.remove(row.recipient);
                client->loggedOn = false;
                send(client, frame({"OtLog", kOtherLogon}));
                broadcast(frame({"LGO", client->address()}), client);
                endConnection(client);
            } else if (client) {
                // Given back to the offline queue, like any other, should the client drop.
                send(client, frame({"SND", row.text}), &row.text);
            } else {
                toOffline.append(row);
            }
        }
        if (!node_->settle(rows.last().id, toOffline))
            return; // tried again on the next wake-up
        if (rows.size() < kBatch)
            return;
    }
}

void MessageServer::shutDown(const QByteArray& reason)
{
    if (shuttingDown_)
        return;
    shuttingDown_ = true;
    listener_.close();
    logLine(QStringLiteral("shutting down, %1 connection(s)").arg(clients_.size()));
    const QByteArray framed = frame({"SHT", sanitizeField(reason)});
    std::vector<Client*> everyone;
    for (auto& entry : clients_)
        everyone.push_back(entry.second.get());
    for (Client* client : everyone) {
        send(client, framed);
        client->loggedOn = false; // no LGO round while everyone leaves
    }
    for (Client* client : everyone)
        endConnection(client);
    if (clients_.empty())
        QTimer::singleShot(0, this, &MessageServer::closed);
}

} // namespace wispline::server
