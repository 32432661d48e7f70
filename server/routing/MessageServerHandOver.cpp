// What the router does with the other nodes' users coming and going, and how a node that stops
// while another lives hands its own users over instead of ending their programs.
#include "base/ServerLog.h"
#include "base/ServerRules.h"
#include "cluster/ServerNode.h"
#include "routing/MessageServerClient.h"

namespace wispline::server
{

void MessageServer::usersElsewhere(const QByteArray& command, const QList<QByteArray>& addresses)
{
    QList<QByteArray> fields{command};
    for (const QByteArray& address : addresses) {
        QByteArray name;
        int level = 0;
        if (!splitAddress(address, &name, &level))
            continue;
        node_->forgetNodeOf(name);
        // Left another node and logged on here since (a hand-over): still here.
        if (command == "LGO" && online_.contains(name))
            continue;
        fields.append(address);
    }
    if (fields.size() > 1)
        broadcast(frame(fields), nullptr);
}

bool MessageServer::handOver()
{
    if (!node_ || !node_->othersLive())
        return false;
    shuttingDown_ = true;
    listener_.close();
    std::vector<Client*> everyone;
    QList<QByteArray> addresses;
    for (auto& entry : clients_) {
        Client* client = entry.second.get();
        everyone.push_back(client);
        if (client->loggedOn && online_.value(client->name) == client) {
            addresses.append(client->address());
            // Everyone here leaves at once: the others hear it in one frame, this node's
            // clients need not hear it at all.
            online_.remove(client->name);
            client->loggedOn = false;
        }
    }
    logLine(QStringLiteral("stopping while another node lives: %1 user(s) handed over")
                .arg(addresses.size()));
    // Out of the cluster before the resets: a client that reconnects at once finds itself
    // gone from here, and messages for it go where it logs on next.
    if (!node_->leave(addresses))
        logLine(QStringLiteral("the other nodes learn of this one's users leaving when it is "
                               "found dead"));
    for (Client* client : everyone) {
        // What the peer did not acknowledge goes back to the offline queue with the reset.
        if (!client->gone)
            client->socket->reset();
    }
    if (clients_.empty())
        QTimer::singleShot(0, this, &MessageServer::closed);
    return true;
}

} // namespace wispline::server
