#include "routing/MessageServer.h"

#include "base/ServerClock.h"
#include "base/ServerLog.h"
#include "base/ServerMetrics.h"
#include "cluster/ServerNode.h"
#include "net/TlsContext.h"
#include "net/TlsHandshaker.h"
#include "net/TlsSession.h"
#include "routing/MessageServerClient.h"

#include <QSet>
#include <QThread>
#include <QTimer>
#include <QVarLengthArray>
#include <algorithm>
#include <cstring>
#include <deque>
#include <sys/socket.h>
#include <unistd.h>

namespace wispline::server
{
namespace
{
constexpr qsizetype kLoggedChars = 64; // the longest client-supplied value written to the log

// The names a message goes to so far, and its sender. Most messages have a recipient or two,
// compared in place; a set is made only for a longer list or a group.
class NameSet
{
public:
    explicit NameSet(const QByteArray& first) { few_.append(first); }
    bool contains(const QByteArray& name) const
    {
        if (!many_.isEmpty())
            return many_.contains(name);
        return std::find(few_.cbegin(), few_.cend(), name) != few_.cend();
    }
    void insert(const QByteArray& name)
    {
        if (!many_.isEmpty()) {
            many_.insert(name);
            return;
        }
        few_.append(name);
        if (few_.size() > kFew) {
            many_ = QSet<QByteArray>(few_.cbegin(), few_.cend());
            few_.clear();
        }
    }

private:
    static constexpr qsizetype kFew = 8;
    QVarLengthArray<QByteArray, kFew + 1> few_;
    QSet<QByteArray> many_;
};
} // namespace

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

MessageServer::MessageServer(ServerStore& store, QObject* parent)
    : QObject(parent), store_(store), dayReader_(store)
{
    listener_.accepted = [this](int descriptor) { accept(descriptor); };
    clock_.start();
    deadlineTimer_.setSingleShot(true);
    settleTimer_.setSingleShot(true);
    connect(&settleTimer_, &QTimer::timeout, this, &MessageServer::settleDue);
    connect(&deadlineTimer_, &QTimer::timeout, this, &MessageServer::closeLateLogOns);
    connect(&acknowledgementTimer_, &QTimer::timeout, this, [this] {
        checkStore();
        const std::vector<quint64> ids(acknowledging_.cbegin(), acknowledging_.cend());
        for (quint64 id : ids) {
            Client* client = clientById(id);
            if (client && !client->unacknowledged.empty())
                noteAcknowledged(client);
            if (!client || client->unacknowledged.empty())
                acknowledging_.erase(id);
        }
    });
    acknowledgementTimer_.start(kAcknowledgementCheckMs);
    connect(&storeTimer_, &QTimer::timeout, this, &MessageServer::storeTick);
}

void MessageServer::setLimits(const Limits& limits)
{
    limits_ = limits;
    listener_.setLimits(limits.maxAnonymous, limits.maxAnonymousPerAddress);
    // A check whose connection went waits for a reconnect as a connection not logged on would.
    checks_.setLimits(limits.maxChecks, limits.maxChecksPerAddress, limits.maxAnonymous,
                      limits.maxAnonymousPerAddress);
}

MessageServer::~MessageServer()
{
    // Answers still to come are dropped with this object; checks under way finish first.
    handshaker_.reset();
    checks_.stop();
    for (auto& entry : clients_) {
        // Clients still connected after the shutdown's grace period keep what they never got.
        Client* client = entry.second.get();
        giveBack(client);
        client->socket->setEvents(nullptr, nullptr);
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
    quint16 port = 0;
    const QString remote = peerAddressOf(descriptor, &port).toString();
    if (!listener_.admit(remote)) {
        // The client tries again after a reset.
        const linger none{1, 0};
        ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &none, sizeof none);
        ::close(descriptor);
        return;
    }
    const quint64 id = nextId_++;
    const Arrival arrival{remote, QStringLiteral("%1:%2").arg(remote).arg(port),
                          clock_.elapsed() + limits_.logOnTimeMs, port};
    if (handshaker_) {
        handshaking_.emplace(id, arrival);
        handshaker_->add(id, descriptor, TlsHandshaker::nowMs() + limits_.logOnTimeMs);
        return;
    }
    adopt(id, descriptor, nullptr, arrival);
}

void MessageServer::adopt(quint64 id, int descriptor, std::unique_ptr<ClientConnection> socket,
                          const Arrival& arrival)
{
    if (!socket)
        socket = std::make_unique<ClientConnection>(descriptor, limits_.deadPeerSeconds,
                                                    limits_.closeTimeMs);
    auto client = std::make_unique<Client>();
    Client* c = client.get();
    c->id = id;
    c->socket = std::move(socket);
    c->remote = PeerAddress(arrival.remote);
    c->anonymous = true;
    // One that waited for its handshake goes before later ones.
    setLogOnDeadline(c->id, arrival.deadline);
    c->port = arrival.port;
    clients_.emplace(c->id, std::move(client));
    c->server = this;
    c->socket->setEvents(&kConnectionEvents, c);
    if (mayLog(c))
        logLine(QStringLiteral("#%1 connected from %2%3")
                    .arg(c->id)
                    .arg(c->peer(), c->socket->isEncrypted()
                                        ? QStringLiteral(" (%1)").arg(c->socket->encryption())
                                        : QString()));
}

struct MessageServer::ConnectionEvents {
    static MessageServer& serverOf(Client* c) { return *c->server; }
    static void readyRead(void* owner)
    {
        Client* const c = static_cast<Client*>(owner);
        serverOf(c).readFrom(c);
    }
    static void bytesWritten(void* owner)
    {
        Client* const c = static_cast<Client*>(owner);
        serverOf(c).noteAcknowledged(c);
        serverOf(c).pump(c);
    }
    static void disconnected(void* owner)
    {
        Client* const c = static_cast<Client*>(owner);
        serverOf(c).connectionLost(c);
    }
    static void failed(void* owner, const QString& reason)
    {
        const Client* const c = static_cast<const Client*>(owner);
        if (!c->gone)
            logLine(QStringLiteral("%1: socket error: %2").arg(c->who(), reason));
    }
};

const ClientConnection::Events MessageServer::kConnectionEvents{
    &ConnectionEvents::readyRead, &ConnectionEvents::bytesWritten, &ConnectionEvents::disconnected,
    &ConnectionEvents::failed};

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
    QList<InboundPiece> pieces = std::move(sparePieces_);
    sparePieces_ = QList<InboundPiece>();
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
        metrics::count(metrics::Counter::BytesIn, quint64(got));
        client->splitter.feed(QByteArray(readBuffer_.constData(), got), pieces);
        handlePieces(client, pieces);
        // A plain read that did not fill the buffer took all the kernel had: what comes later is
        // reported again (the descriptor is watched level-triggered), so no read just to hear
        // "nothing more". An encrypted session may hold whole records back: read on.
        if (got < readBuffer_.size() && !client->socket->isEncrypted())
            break;
    }
    pieces.clear(); // keeps its room
    sparePieces_ = std::move(pieces);
    // The settle timer waits until the log-on check is back: the input is read on from there.
    if (client->gone || client->checking)
        return;
    if (client->splitter.pendingSize() > 0) {
        client->settled = false;
        settleIn(client, settleMs_);
    } else {
        stopSettling(client);
    }
}

void MessageServer::settleIn(Client* client, int ms)
{
    stopSettling(client);
    client->settleAt = clock_.elapsed() + ms;
    settling_.emplace(client->settleAt, client->id);
    if (settling_.begin()->second == client->id || !settleTimer_.isActive())
        settleTimer_.start(int(std::max<qint64>(settling_.begin()->first - clock_.elapsed(), 0)));
}

void MessageServer::stopSettling(Client* client)
{
    if (client->settleAt < 0)
        return;
    settling_.erase({client->settleAt, client->id});
    client->settleAt = -1;
}

void MessageServer::settleDue()
{
    while (!settling_.empty() && settling_.begin()->first <= clock_.elapsed()) {
        const quint64 id = settling_.begin()->second;
        settling_.erase(settling_.begin());
        const auto found = clients_.find(id);
        if (found == clients_.end())
            continue;
        found->second->settleAt = -1;
        settle(found->second.get()); // may settle it again, or end others
    }
    if (settling_.empty())
        settleTimer_.stop();
    else
        settleTimer_.start(int(std::max<qint64>(settling_.begin()->first - clock_.elapsed(), 0)));
}

void MessageServer::settle(Client* client)
{
    if (client->gone || client->checking)
        return;
    // What still waits for the rest of a destination code after the close time is taken as is.
    QList<InboundPiece> pieces;
    if (client->settled)
        client->splitter.finish(pieces);
    else
        client->splitter.settle(pieces);
    handlePieces(client, pieces);
    if (!client->gone && !client->checking && !client->settled &&
        client->splitter.pendingSize() > 0) {
        client->settled = true;
        settleIn(client, limits_.closeTimeMs);
    }
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
            if (client->heldBytes > kMaxHeldBytes && !client->storeWait) {
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
    // A message to users, by far the most common, is read in place rather than copied field by
    // field. Its control characters are blanked as each field's would be: none is a separator.
    if (client->loggedOn && message.startsWith("SND~")) {
        QByteArray blanked = message; // copied only if there is something to blank
        blankControls(blanked);
        SendFields fields;
        qsizetype count = 0;
        const char* const last = blanked.constData() + blanked.size();
        for (const char* start = blanked.constData(); count < qsizetype(fields.size()); ++count) {
            const void* found =
                start < last ? std::memchr(start, kSeparator, std::size_t(last - start)) : nullptr;
            const char* end = found ? static_cast<const char*>(found) : last;
            fields[std::size_t(count)] = QByteArrayView(start, end - start);
            if (end == last) {
                ++count;
                break;
            }
            start = end + 1;
        }
        // The splitter hands a message over with its exact field count.
        if (count == qsizetype(fields.size()) &&
            fields.back().data() + fields.back().size() == last) {
            route(client, blanked, fields);
            return;
        }
    }
    QList<QByteArray> fields = splitFields(message);
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
        route(client, fields.join(kSeparator),
              {fields[0], fields[1], fields[2], fields[3], fields[4]});
    else if (command == "HND")
        handshake(client);
    else if (command == "LOU")
        logOut(client);
    else if (command == "ALLMsgs")
        sendDayMessages(client, fields);
    else if (command == "CHPASS")
        changePassword(client, fields);
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
    wentFromHere(address);
    if (node_)
        node_->announce("lgo", address);
    endConnection(client);
}

void MessageServer::route(Client* client, const QByteArray& message, const SendFields& fields)
{
    // A sender's arrival goes out before its first words: one sent with the log-on would
    // otherwise come from someone not in the list yet.
    if (!cameHere_.empty())
        tellCameHere();
    const QByteArray& sender = client->name;
    const qint64 takenAt = clock_.elapsed();
    if (!mayRoute(client, message, fields[2], takenAt))
        return;
    if (!addressNames(fields[1], sender) && mayLog(client))
        logLine(QStringLiteral("%1: message signed %2, sent as %1")
                    .arg(client->who(), shown(fields[1].toByteArray())));

    // Only what this user's client could have addressed is routed.
    const QByteArrayView list = fields[3];
    const QByteArrayView code = fields[4];
    if (const char* problem = addressingProblem(client->level, list, code)) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: message refused: %2")
                        .arg(client->who(), QLatin1String(problem)));
        return;
    }
    const QByteArray body = sanitizeField(fields[2].trimmed().toByteArray());
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
    // Most messages have one or a few recipients: they are kept in place, not allocated.
    QVarLengthArray<Target, 4> targets;
    NameSet seen(sender);
    if (list != "NOONE") {
        QList<QByteArray> unsure; // neither connected here nor known: one query tells
        // The addresses are taken in place from the list: no list of them is made. A name is
        // upper-cased into room on the stack and looked up as it is there; a user connected
        // here lends the name it is known by, so only a name not connected here is copied.
        NameRoom room;
        for (qsizetype start = 0; start <= list.size();) {
            qsizetype end = list.indexOf(',', start);
            if (end < 0)
                end = list.size();
            const QByteArrayView address = list.sliced(start, end - start);
            start = end + 1;
            int level = 0;
            if (!splitAddress(address, &room, &level))
                continue;
            const QByteArray asWritten = QByteArray::fromRawData(room.constData(), room.size());
            if (seen.contains(asWritten))
                continue;
            Client* online = online_.value(asWritten);
            const QByteArray name =
                online ? online->name : QByteArray(room.constData(), room.size());
            seen.insert(name);
            targets.push_back({name, online, QString()});
            if (!online && !knownNames_.contains(name))
                unsure.append(name);
        }
        if (!unsure.isEmpty() && !mayLookUp(client, unsure.size()))
            return;
        bool failed = false;
        const QSet<QByteArray> found =
            unsure.isEmpty() ? QSet<QByteArray>() : store_.knownNames(unsure, &failed);
        if (failed) {
            client->namedLeft += double(unsure.size());
            routeLater(client, message);
            return;
        }
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
            seen.insert(name);
            targets.push_back({name, nullptr, node_->nodeOf(name)});
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
    // The frame is made once for all recipients; its display text is taken back out of it
    // only for one who is not connected here.
    const QByteArray framed = framedDisplay("SND", sender, body, now.clock);
    QByteArray display;
    const auto displayed = [&]() -> const QByteArray& {
        if (display.isEmpty())
            display = fieldOfFrame(framed).toByteArray();
        return display;
    };
    metrics::count(metrics::Counter::MessagesRouted);
    bool kept = false;
    for (const Target& target : targets) {
        // Recorded for the day in the same transaction that hands it to the other node.
        if (!target.node.isEmpty()) {
            node_->deliver(target.node, now.day, now.time, sender, target.name, body, displayed(),
                           now.created);
            continue;
        }
        store_.recordMessage(now.day, now.time, sender, target.name, body, !target.online);
        if (target.online) {
            send(target.online, framed, true);
        } else {
            store_.queueOffline(now.created, target.name, displayed(), false);
            metrics::count(metrics::Counter::MessagesQueuedOffline);
            kept = true;
            if (node_)
                queuedHere(target.name);
        }
    }
    // The messages kept for offline recipients are committed (or kept and retried), many a
    // slice at a time; the sender waits for them (mayRoute()). One commit serves all that this
    // turn kept, from every sender: each commit syncs the disk, and a commit per message let one
    // sender's read of 2,000 messages hold every other user, and a stop, for seconds. While the
    // server stops, what its clients send up to the last moment is committed in batches too.
    if (kept && !shuttingDown_ && !offlineCommitDue_) {
        offlineCommitDue_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                offlineCommitDue_ = false;
                if (!shuttingDown_)
                    store_.flushOfflineSoon();
            },
            Qt::QueuedConnection);
    }
    charge(
        client, takenAt, qsizetype(targets.size()),
        std::count_if(targets.cbegin(), targets.cend(), [](const Target& t) { return !t.online; }),
        body.size(), fieldOfFrame(framed).size());
}

void MessageServer::updateReading(Client* client)
{
    client->socket->pauseReading(client->checking || client->slowed);
}

MessageServer::Client* MessageServer::clientById(quint64 id) const
{
    const auto found = clients_.find(id);
    return found == clients_.end() || found->second->gone ? nullptr : found->second.get();
}

void MessageServer::broadcast(const QByteArray& framed, const Client* except)
{
    // Who came or went before goes out first: a leaving never overtakes the coming.
    if (!cameHere_.empty())
        tellCameHere();
    if (!wentFromHere_.empty())
        tellWentFromHere();
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
    const qint64 second = clocks::wallMs() / 1000;
    if (second != stamp_.second) {
        stamp_.second = second;
        stamp_.local = clocks::wallNow();
        stamp_.time = stamp_.local.time().toString(QStringLiteral("HH:mm:ss"));
        stamp_.clock = toWire(stamp_.time);
        stamp_.day = stamp_.local.date().toString(Qt::ISODate);
        stamp_.created = stamp_.local.toString(Qt::ISODate);
    }
    return stamp_;
}

void MessageServer::endConnection(Client* client)
{
    if (client->gone)
        return;
    // Whatever is still queued for the client is written before the close, within the close time.
    if (client->socket->isConnected())
        client->socket->disconnectFromHost();
    else
        connectionLost(client);
}

void MessageServer::connectionLost(Client* client)
{
    if (client->gone)
        return;
    // Nothing more will come: a message that waited for more bytes is complete.
    if (client->splitter.pendingSize() > 0 && !client->checking) {
        client->settled = true;
        settle(client);
        if (client->gone)
            return;
    }
    if (client->checking && !leaveCheck(client)) {
        // The rest waits behind the check like the input before it (a check received whole
        // is carried out).
        QList<InboundPiece> pieces;
        client->splitter.finish(pieces);
        client->held.append(pieces);
        client->lost = true;
        return;
    }
    // Settled before anyone hears the user left.
    handBack(client);
    if (client->loggedOn && online_.value(client->name) == client) {
        online_.remove(client->name);
        goneFromHere(client->name);
        client->loggedOn = false;
        logLine(
            QStringLiteral("#%1 %2: connection lost").arg(client->id).arg(fromWire(client->name)));
        // A user who logged on to another node meanwhile stays in everyone's lists.
        if (!node_ || node_->nodeOf(client->name).isEmpty())
            wentFromHere(client->address());
        if (node_ && node_->nodeOf(client->name).isEmpty())
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
    handBack(client);
    leaveCheck(client);
    if (client->anonymous) {
        client->anonymous = false;
        listener_.release(client->remote);
    }
    if (client->unlogged > 0)
        logLine(QStringLiteral("#%1: %2 more log line(s) about this connection left out")
                    .arg(client->id)
                    .arg(client->unlogged));
    stopSettling(client);
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
    connect(node, &ServerNode::declaredDead, this, &MessageServer::heal);
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
                usersElsewhere(row.kind, fromWire(row.recipient), row.text.split(kSeparator));
            } else if (row.kind == "offl") {
                if (client)
                    readQueueAgain(client);
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
                send(client, frame("SND", row.text), true);
            } else {
                toOffline.append(row);
            }
        }
        if (!node_->settle(rows, toOffline))
            return; // tried again on the next wake-up
        if (rows.size() < kBatch)
            return;
    }
}

void MessageServer::shutDown(Ending ending, const QByteArray& text)
{
    if (shuttingDown_)
        return;
    if (ending == Ending::Reset) {
        handOver();
        return;
    }
    shuttingDown_ = true;
    listener_.close();
    logLine(
        QStringLiteral("shutting down as announced, %1 connection(s) told").arg(clients_.size()));
    QByteArray said = sanitizeField(text);
    blankControls(said);
    const QByteArray framed = frame({"SHT", said});
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
