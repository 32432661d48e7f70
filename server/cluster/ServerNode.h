#pragma once
// One of several server nodes sharing a PostgreSQL database. PostgreSQL holds the shared state:
// each node heart-beats in the nodes table, records who is connected to it in presence, and
// finds what other nodes routed to its users in its rows of inbox, written in the transaction
// that records the message. A NOTIFY on the node's channel only wakes it: it drains its inbox
// at start, on every notification and on every heartbeat, so a lost notification loses nothing.
// The heartbeat runs on a thread of its own (NodeHeartbeat); rows of a node that stopped
// heart-beating go to the node their recipient is on now, or to the offline queues.
#include "store/SpillFile.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace wispline::server
{

class NodeHeartbeat;
class ServerStore;

class ServerNode : public QObject
{
    Q_OBJECT
public:
    static constexpr int kHeartbeatMs = 1000;
    // A node unheard of for this long is dead.
    static constexpr int kExpirySeconds = 5;

    explicit ServerNode(ServerStore& store, QObject* parent = nullptr);
    // Leaves the cluster: what waits in this node's inbox goes to the offline queues.
    ~ServerNode() override;

    // Connects, registers this node and listens for wake-ups. False with a reason on failure.
    bool start(QString* error);
    QString id() const { return id_; }

    // Read-only, for readiness and the metrics: whether this node's last heartbeat reached the
    // database, how long ago one last did (-1 before one), and how many live nodes it counted
    // then, itself included.
    bool registered() const;
    qint64 heartbeatAgeMs() const;
    int nodesAlive() const;

    // Where the users of the other nodes are, as this node heard: a snapshot at the start and
    // at a heal, then every "usrs" and "lgo" row. No query per message or per user: a message
    // sent on a stale answer is forwarded by the node it reaches.
    QString nodeOf(const QByteArray& name) const { return remote_.value(name).node; }
    // Users of a level connected to other nodes.
    QList<QByteArray> remoteUsers(int level) const;
    // Their addresses (name and level), for the user list.
    QList<QByteArray> remoteAddresses() const;
    // The user logged on here: no longer one of another node's.
    void cameHere(const QByteArray& name) { remote_.remove(name); }
    // A "usrs" or "lgo" row from node (empty: the takeover of dead nodes).
    void heard(const QByteArray& kind, const QString& node, const QByteArray& name, int level);
    // Reads where the other nodes' users are again; the addresses that came and went since.
    std::pair<QList<QByteArray>, QList<QByteArray>> reread();
    // Tells the other live nodes' users that users came ("usrs") or went ("lgo"): one row per
    // node, so one frame per client however many they are.
    void announce(const QByteArray& kind, const QByteArray& address)
    {
        announce(kind, QList<QByteArray>{address});
    }
    void announce(const QByteArray& kind, const QList<QByteArray>& addresses);
    // Messages for other nodes waiting for the database past this many bytes slow the senders.
    static constexpr qint64 kMaxOutgoingBytes = 16 * 1024 * 1024;
    bool congested() const { return outgoingBytes_ > kMaxOutgoingBytes; }
    qint64 outgoingBytes() const { return outgoingBytes_; }
    // Whether another node is alive to take this one's users; Unknown when the database did
    // not answer.
    enum class Others { None, Some, Unknown };
    Others othersLive();
    // Leaves the cluster while others live: in one transaction this node is no longer one, its
    // users' presence goes and the others hear of their leaving. What reaches this node's inbox
    // from then on goes where each user is now, or to the offline queues.
    bool leave(const QList<QByteArray>& addresses);
    // Records the user here; the node it was recorded on before (its session there ends), or
    // empty when none.
    QString setPresent(const QByteArray& name, int level);
    // After this node was taken for dead: records its users here again, in one statement,
    // except those connected to another node meanwhile. The names recorded; none on failure.
    std::optional<QSet<QByteArray>> reclaim(const QList<std::pair<QByteArray, int>>& users);
    // Only while the user is still recorded on this node. One that fails is tried again each
    // heartbeat until it holds (a log-on here meanwhile calls it off).
    void setAbsent(const QByteArray& name);

    // A message for a user connected to another node: recorded for the day and put in that
    // node's inbox in one transaction, then the node is woken. Those routed in one turn of the
    // event loop share the transaction, in the order routed; one that fails is tried again.
    void deliver(const QString& node, const QString& day, const QString& time,
                 const QByteArray& sender, const QByteArray& recipient, const QByteArray& body,
                 const QByteArray& display, const QString& created);
    // On the way out: the messages for other nodes not written yet, tried once more when
    // tryFirst, then taken out of memory for the spill file.
    std::vector<SpilledRow> takeOutgoing(bool tryFirst);
    // Asks another node to end a user's session there (a log-on here replaces it); one that
    // fails is tried again each heartbeat until it holds. False when it waits for that.
    bool endSessionThere(const QString& node, const QByteArray& name);
    // Messages went back to these users' offline queues, maybe after they logged on to another
    // node (a session here that ended late, a hand-over): that node reads the queue again.
    void queuedMeanwhile(const QList<QByteArray>& names);

    struct InboxRow {
        qint64 id = 0;
        // "m" a message, "otlog" the end of a session, "usrs"/"lgo" users came or went elsewhere,
        // "offl" the user's offline queue grew
        QByteArray kind;
        QByteArray recipient;
        QByteArray text; // the display text of a message
        QString created;
    };
    // The oldest rows of this node's inbox.
    QList<InboxRow> inbox(int limit);
    // Removes the rows read (by their ids: on PostgreSQL a row with a lower id may commit after
    // them), in the same transaction forwarding the given ones to the node their recipient is on
    // now, or else putting them in the offline queues.
    bool settle(const QList<InboxRow>& read, const QList<InboxRow>& toOffline);

    // How long messages for other nodes have waited for the database, in ms; 0 when none waits.
    // A row the database refuses for good is set aside (table set_aside) rather than holding up
    // those behind it, so a long wait means the database does not take them.
    qint64 outgoingWaitingMs() const;

signals:
    // Something may wait in the inbox.
    void wake();
    // Another node took this one for dead (a stall) and removed its users: heal.
    void declaredDead();

private:
    void flushOutgoing();
    void flushAnnouncements();
    // Presence removals and session ends that failed, tried again.
    void retryPresence();
    bool listen();
    // At each heartbeat: the connections of this thread work, or are opened again, at most
    // once a second, then every 2, 4 and 8 seconds while they fail.
    void checkConnections();
    QString literal(const QString& text) const;
    QString live() const;

    ServerStore& store_;
    QString id_;
    QString connectionName_;
    QString listenName_;
    QSqlDatabase db_;
    QSqlDatabase listen_; // LISTEN alone: its socket is readable whenever a notification comes
    std::unique_ptr<NodeHeartbeat> beat_;
    int reopenWaitMs_ = 0;
    QElapsedTimer reopenClock_;
    int listenGeneration_ = 0;
    bool left_ = false;
    struct Outgoing {
        QString node;
        QString day;
        QString time;
        QString sender;
        QString recipient;
        QString body;
        QString display;
        QString created;
    };
    // One message for another node in a transaction of its own; false when it is neither
    // written nor set aside (tried again later).
    bool flushOne(const Outgoing& o);
    qint64 outgoingBytes_ = 0;
    std::vector<Outgoing> outgoing_;
    QElapsedTimer outgoingSince_; // the oldest message waiting: since it first failed
    QSet<QByteArray> absentLater_;
    std::vector<std::pair<QString, QByteArray>> endLater_; // node, name
    QTimer flushTimer_;
    std::vector<std::pair<QByteArray, QByteArray>> announcements_; // kind, address
    QTimer announceTimer_;
    struct Remote {
        QString node;
        int level = 0;
    };
    QHash<QByteArray, Remote> remote_;
    // The other live nodes' users as the database has them; nothing on failure.
    std::optional<QHash<QByteArray, Remote>> readRemote();
};

} // namespace wispline::server
