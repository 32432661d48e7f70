#pragma once
// One of several server nodes sharing a PostgreSQL database. PostgreSQL holds the shared state:
// each node heart-beats in the nodes table, records who is connected to it in presence, and
// finds what other nodes routed to its users in its rows of inbox, written in the transaction
// that records the message. A NOTIFY on the node's channel only wakes it: it drains its inbox
// at start, on every notification and on every heartbeat, so a lost notification loses nothing.
// Rows of a node that stopped heart-beating go to the offline queues.
#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QTimer>
#include <vector>

namespace wispline::server
{

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

    // Read-only, for readiness and the metrics: whether this node's row is in the nodes table as
    // of its last heartbeat, how long ago a heartbeat last reached the database (-1 before
    // one), and how many live nodes it counted then, itself included.
    bool registered() const { return registered_; }
    qint64 heartbeatAgeMs() const { return beat_.isValid() ? beat_.elapsed() : -1; }
    int nodesAlive() const { return nodesAlive_; }

    // The other live node a user is connected to; empty when none. Remembered for a moment:
    // a look-up per message would cap cross-node routing. A message sent on a stale answer is
    // forwarded by the node it reaches.
    QString nodeOf(const QByteArray& name);
    // The user came to or left another node: look again next time.
    void forgetNodeOf(const QByteArray& name) { nodeCache_.remove(name); }
    // Users of a level connected to other live nodes.
    QList<QByteArray> remoteUsers(int level);
    // Their addresses (name and level), for the user list.
    QList<QByteArray> remoteAddresses();
    // Tells the other live nodes' users that a user came ("usrs") or went ("lgo").
    void announce(const QByteArray& kind, const QByteArray& address);
    void setPresent(const QByteArray& name, int level);
    // Only while the user is still recorded on this node.
    void setAbsent(const QByteArray& name);

    // A message for a user connected to another node: recorded for the day and put in that
    // node's inbox in one transaction, then the node is woken. Those routed in one turn of the
    // event loop share the transaction, in the order routed; one that fails is tried again.
    void deliver(const QString& node, const QString& day, const QString& time,
                 const QByteArray& sender, const QByteArray& recipient, const QByteArray& body,
                 const QByteArray& display, const QString& created);
    // Asks another node to end a user's session there (a log-on here replaces it).
    bool endSessionThere(const QString& node, const QByteArray& name);

    struct InboxRow {
        qint64 id = 0;
        // "m" a message, "otlog" the end of a session, "usrs"/"lgo" a user came or went elsewhere
        QByteArray kind;
        QByteArray recipient;
        QByteArray text; // the display text of a message
        QString created;
    };
    // The oldest rows of this node's inbox.
    QList<InboxRow> inbox(int limit);
    // Removes this node's rows up to upTo, in the same transaction forwarding the given ones to
    // the node their recipient is on now, or else putting them in the offline queues.
    bool settle(qint64 upTo, const QList<InboxRow>& toOffline);

signals:
    // Something may wait in the inbox.
    void wake();
    // Another node declared this one dead and removed its presence: record it again.
    void presenceLost();
    // Users of a dead node are gone (their addresses).
    void usersGone(const QList<QByteArray>& addresses);

private:
    void heartbeat();
    void flushOutgoing();
    QString literal(const QString& text) const;
    bool put(const QString& node, const QByteArray& kind, const QByteArray& recipient,
             const QByteArray& text, const QString& created);
    QString live() const;

    ServerStore& store_;
    QString id_;
    QString connectionName_;
    QString listenName_;
    QSqlDatabase db_;
    QSqlDatabase listen_; // LISTEN alone: its socket is readable whenever a notification comes
    QTimer heartbeat_;
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
    std::vector<Outgoing> outgoing_;
    QTimer flushTimer_;
    struct Cached {
        QString node;
        qint64 until = 0; // ms on clock_
    };
    QHash<QByteArray, Cached> nodeCache_;
    QElapsedTimer clock_;
    QElapsedTimer beat_; // since the last heartbeat that reached the database
    bool registered_ = false;
    int nodesAlive_ = 0;
};

} // namespace wispline::server
