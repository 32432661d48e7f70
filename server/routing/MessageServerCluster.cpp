// What the router does with the other nodes' users coming and going, how a node taken for dead
// during a stall heals, and how a node that stops while another lives hands its own users over
// instead of ending their programs.
#include "base/ServerLog.h"
#include "base/ServerRules.h"
#include "cluster/ServerNode.h"
#include "routing/MessageServerClient.h"

#include <algorithm>

namespace wispline::server
{

void MessageServer::usersElsewhere(const QByteArray& kind, const QString& node,
                                   const QList<QByteArray>& addresses)
{
    QList<QByteArray> fields{kind.toUpper()};
    QList<QByteArray> queued;
    for (const QByteArray& address : addresses) {
        QByteArray name;
        int level = 0;
        if (!splitAddress(address, &name, &level))
            continue;
        // Where the user is, even while a session of it here waits to be ended: a message for
        // it then goes there.
        node_->heard(kind, node, name, level);
        // Connected here (it left another node and logged on here since, or a session here ends
        // soon): in the lists already.
        if (online_.contains(name))
            continue;
        fields.append(address);
        if (kind == "usrs" && queuedRecently_.remove(name))
            queued.append(name);
    }
    if (fields.size() > 1)
        broadcast(frame(fields), nullptr);
    node_->queuedMeanwhile(queued);
}

void MessageServer::wentFromHere(const QByteArray& address)
{
    if (!cameHere_.empty())
        tellCameHere();
    if (wentFromHere_.empty())
        QTimer::singleShot(0, this, &MessageServer::tellWentFromHere);
    wentFromHere_.push_back(address);
}

void MessageServer::tellWentFromHere()
{
    if (wentFromHere_.empty())
        return;
    QByteArray all;
    for (const QByteArray& address : wentFromHere_)
        all += frame({"LGO", address});
    wentFromHere_.clear();
    for (Client* other : onlineClients())
        send(other, all);
}

void MessageServer::cameHere(Client* client)
{
    if (cameHere_.empty())
        QTimer::singleShot(0, this, &MessageServer::tellCameHere);
    cameHere_.push_back(client->id);
}

void MessageServer::tellCameHere()
{
    std::vector<Client*> came;
    for (quint64 id : cameHere_) {
        Client* client = clientById(id);
        if (client && client->loggedOn && online_.value(client->name) == client)
            came.push_back(client);
    }
    cameHere_.clear();
    if (came.empty())
        return;
    QList<QByteArray> fields{"USRS"};
    for (const Client* client : came)
        fields.append(client->address());
    const QByteArray all = frame(fields);
    // Looked up for each user on: a crowd logging on meets a crowd already on.
    std::vector<Client*> sorted = came;
    std::sort(sorted.begin(), sorted.end());
    for (Client* other : onlineClients()) {
        if (!std::binary_search(sorted.cbegin(), sorted.cend(), other)) {
            send(other, all);
            continue;
        }
        // A newcomer had the list at its log-on: it gets the others of the crowd, never itself.
        QList<QByteArray> others{"USRS"};
        for (const Client* client : came) {
            if (client != other)
                others.append(client->address());
        }
        if (others.size() > 1)
            send(other, frame(others));
    }
}

void MessageServer::queuedHere(const QByteArray& name)
{
    const qint64 now = clock_.elapsed();
    if (queuedRecently_.size() > 10000) {
        for (auto it = queuedRecently_.begin(); it != queuedRecently_.end();)
            it = it.value() < now - kQueuedRecentlyMs ? queuedRecently_.erase(it) : std::next(it);
    }
    queuedRecently_.insert(name, now);
}

void MessageServer::heal()
{
    if (shuttingDown_)
        return;
    QList<std::pair<QByteArray, int>> here;
    for (const Client* client : onlineClients())
        here.append({client->name, client->level});
    const auto mine = node_->reclaim(here);
    if (!mine) {
        QTimer::singleShot(ServerNode::kHeartbeatMs, this, &MessageServer::heal);
        return;
    }
    QList<QByteArray> back;
    for (Client* client : onlineClients()) {
        if (!mine->contains(client->name)) {
            // Logged on to another node while this one was taken for dead: that session stays,
            // as a second log-on's does.
            logLine(QStringLiteral("%1: logged on to another node meanwhile").arg(client->who()));
            online_.remove(client->name);
            client->loggedOn = false;
            send(client, frame({"OtLog", kOtherLogon}));
            endConnection(client);
            continue;
        }
        back.append(client->address());
        // What was routed to the user meanwhile went to the offline queue: it follows now.
        readQueueAgain(client);
    }
    node_->announce("usrs", back);
    // This node heard nobody come or go meanwhile: its clients learn what changed.
    const auto [came, went] = node_->reread();
    for (const auto& [command, addresses] :
         {std::pair{QByteArrayLiteral("LGO"), went}, std::pair{QByteArrayLiteral("USRS"), came}}) {
        QList<QByteArray> fields{command};
        for (const QByteArray& address : addresses) {
            QByteArray name;
            int level = 0;
            if (splitAddress(address, &name, &level) && !online_.contains(name))
                fields.append(address);
        }
        if (fields.size() > 1)
            broadcast(frame(fields), nullptr);
    }
    logLine(QStringLiteral("back in the cluster: %1 user(s) recorded again, %2 came and %3 went "
                           "elsewhere meanwhile")
                .arg(back.size())
                .arg(came.size())
                .arg(went.size()));
}

void MessageServer::readQueueAgain(Client* client)
{
    // From the last row handed over, then the rows below it not handed over: rows already read
    // are not sent twice.
    client->backlogAllRead = false;
    client->backlogSwept = false;
    if (!client->backlog) {
        client->backlog = true;
        client->backlogCount = 0;
    }
    pump(client);
}

void MessageServer::handOver()
{
    // Even the last node resets its clients: an SHT would end every user's program, a reset
    // only makes them reconnect, to this server started again (an upgrade, systemctl restart)
    // or to another node.
    shuttingDown_ = true;
    listener_.close();
    QList<QByteArray> addresses;
    for (const Client* client : onlineClients())
        addresses.append(client->address());
    logLine(QStringLiteral("stopping: %1 user(s) handed over, their clients reconnect")
                .arg(addresses.size()));
    // Out of the cluster before the resets: a client that reconnects at once finds itself
    // gone from here, and messages for it go where it logs on next.
    if (node_ && !node_->leave(addresses))
        logLine(QStringLiteral("the other nodes learn of this one's users leaving when it is "
                               "found dead"));
    // What is in flight is let arrive first: a reset then takes back only what the peer never
    // got, and that goes back to the offline queue, so nothing arrives twice. The clients are
    // still read meanwhile, so what they send is routed rather than lost with the reset.
    for (auto& entry : clients_)
        entry.second->socket->holdOutput();
    resetWhenLanded(clock_.elapsed() + kLandingMs);
}

void MessageServer::resetWhenLanded(qint64 deadline)
{
    const bool landed = std::all_of(clients_.cbegin(), clients_.cend(), [](const auto& entry) {
        return entry.second->gone || entry.second->socket->inFlight() == 0;
    });
    if (!landed && clock_.elapsed() < deadline) {
        QTimer::singleShot(kLandingCheckMs, this, [this, deadline] { resetWhenLanded(deadline); });
        return;
    }
    releaseFairHolds();
    std::vector<Client*> everyone;
    for (auto& entry : clients_)
        everyone.push_back(entry.second.get());
    QList<QByteArray> names;
    for (Client* client : everyone) {
        // The last input is read right before the reset, which drops what the kernel holds
        // unread: what a client sends meanwhile is routed, not lost.
        if (!client->gone && !client->checking && client->socket->isConnected())
            readFrom(client);
        if (client->gone)
            continue;
        // Everyone here leaves at once, and the other nodes were told: no LGO round.
        if (client->loggedOn && online_.value(client->name) == client)
            online_.remove(client->name);
        client->loggedOn = false;
        if (!client->name.isEmpty())
            names.append(client->name);
        // Back in the queue, committed, before the reset lets the client log on elsewhere.
        giveBack(client);
        client->socket->reset();
    }
    // Messages routed in the last reads to users reset before went to their queues, maybe after
    // they logged on elsewhere: read there again.
    store_.flushOffline();
    if (node_)
        node_->queuedMeanwhile(names);
    if (clients_.empty())
        QTimer::singleShot(0, this, &MessageServer::closed);
}

} // namespace wispline::server
