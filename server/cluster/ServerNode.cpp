#include "cluster/ServerNode.h"

#include "base/ServerLog.h"
#include "base/ServerRules.h"
#include "store/ServerStore.h"

#include <QRandomGenerator>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QVariant>

namespace wispline::server
{
namespace
{

QString channelOf(const QString& node)
{
    return QStringLiteral("wispline_") + node;
}

} // namespace

ServerNode::ServerNode(ServerStore& store, QObject* parent) : QObject(parent), store_(store)
{
    // A channel name too: lower case letters and digits.
    id_ = QStringLiteral("n%1").arg(QRandomGenerator::system()->generate64(), 16, 16,
                                    QLatin1Char('0'));
    connectionName_ = QStringLiteral("wispline-node-") + id_;
    listenName_ = connectionName_ + QStringLiteral("-listen");
    clock_.start();
    heartbeat_.setInterval(kHeartbeatMs);
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &ServerNode::flushOutgoing);
    connect(&heartbeat_, &QTimer::timeout, this, &ServerNode::heartbeat);
}

ServerNode::~ServerNode()
{
    if (db_.isOpen()) {
        flushOutgoing();
        // Nothing waits for this node any more: its inbox goes to the offline queues.
        QSqlQuery q(db_);
        q.prepare(QStringLiteral("DELETE FROM nodes WHERE id = ?"));
        q.addBindValue(id_);
        q.exec();
        q.prepare(QStringLiteral("DELETE FROM presence WHERE node = ?"));
        q.addBindValue(id_);
        q.exec();
        q.prepare(QStringLiteral(
            "WITH gone AS (DELETE FROM inbox WHERE node = ? RETURNING id, kind, recipient, "
            "text, created) INSERT INTO offline(recipient, text, created) SELECT recipient, "
            "text, created FROM gone WHERE kind = 'm' ORDER BY id"));
        q.addBindValue(id_);
        if (!q.exec())
            logLine(QStringLiteral("could not hand this node's inbox over: %1")
                        .arg(q.lastError().text()));
    }
    for (QSqlDatabase* db : {&db_, &listen_}) {
        if (db->isValid()) {
            const QString name = db->connectionName();
            db->close();
            *db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name);
        }
    }
}

bool ServerNode::start(QString* error)
{
    db_ = store_.addConnection(connectionName_);
    listen_ = store_.addConnection(listenName_);
    if (!db_.open() || !listen_.open()) {
        *error = db_.lastError().text() + listen_.lastError().text();
        return false;
    }
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("INSERT INTO nodes(id, seen) VALUES(?, now())"));
    q.addBindValue(id_);
    if (!q.exec()) {
        *error = q.lastError().text();
        return false;
    }
    if (!listen_.driver()->subscribeToNotification(channelOf(id_))) {
        *error = listen_.driver()->lastError().text();
        return false;
    }
    connect(listen_.driver(), &QSqlDriver::notification, this, [this] { emit wake(); });
    registered_ = true;
    nodesAlive_ = 1;
    beat_.start();
    heartbeat_.start();
    logLine(QStringLiteral("node %1 on the shared database").arg(id_));
    // Whatever was routed here before the LISTEN.
    QTimer::singleShot(0, this, [this] { emit wake(); });
    return true;
}

QString ServerNode::live() const
{
    return QStringLiteral("(SELECT id FROM nodes WHERE seen > now() - interval '%1 seconds')")
        .arg(kExpirySeconds);
}

QString ServerNode::nodeOf(const QByteArray& name)
{
    constexpr qint64 kRememberMs = 2000;
    const auto it = nodeCache_.constFind(name);
    if (it != nodeCache_.cend() && it->until > clock_.elapsed())
        return it->node;
    QSqlQuery q(db_);
    q.prepare(
        QStringLiteral("SELECT node FROM presence WHERE name = ? AND node <> ? AND node IN ") +
        live());
    q.addBindValue(fromWire(name));
    q.addBindValue(id_);
    if (!q.exec() || !q.next()) {
        nodeCache_.remove(name);
        return {};
    }
    const QString node = q.value(0).toString();
    // Only where a user is: one who logs on elsewhere must not miss messages meanwhile.
    nodeCache_.insert(name, {node, clock_.elapsed() + kRememberMs});
    return node;
}

QList<QByteArray> ServerNode::remoteUsers(int level)
{
    QList<QByteArray> names;
    QSqlQuery q(db_);
    q.prepare(
        QStringLiteral("SELECT name FROM presence WHERE level = ? AND node <> ? AND node IN ") +
        live());
    q.addBindValue(level);
    q.addBindValue(id_);
    if (q.exec()) {
        while (q.next())
            names.append(toWire(q.value(0).toString()));
    }
    return names;
}

QList<QByteArray> ServerNode::remoteAddresses()
{
    QList<QByteArray> addresses;
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT name, level FROM presence WHERE node <> ? AND node IN ") +
              live());
    q.addBindValue(id_);
    if (q.exec()) {
        while (q.next())
            addresses.append(addressOf(toWire(q.value(0).toString()), q.value(1).toInt()));
    }
    return addresses;
}

void ServerNode::announce(const QByteArray& kind, const QByteArray& address)
{
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("INSERT INTO inbox(node, kind, recipient, text, created) SELECT id, "
                             "?, '', ?, '' FROM nodes WHERE id <> ? AND id IN ") +
              live());
    q.addBindValue(QString::fromLatin1(kind));
    q.addBindValue(fromWire(address));
    q.addBindValue(id_);
    if (!q.exec())
        return;
    q.prepare(QStringLiteral("SELECT pg_notify('wispline_' || id, '') FROM nodes WHERE id <> ?"));
    q.addBindValue(id_);
    q.exec();
}

void ServerNode::setPresent(const QByteArray& name, int level)
{
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("INSERT INTO presence(name, node, level) VALUES(?, ?, ?) ON "
                             "CONFLICT(name) DO UPDATE SET node = EXCLUDED.node, level = "
                             "EXCLUDED.level"));
    q.addBindValue(fromWire(name));
    q.addBindValue(id_);
    q.addBindValue(level);
    if (!q.exec())
        logLine(QStringLiteral("presence of %1 not recorded: %2")
                    .arg(fromWire(name), q.lastError().text()));
}

void ServerNode::setAbsent(const QByteArray& name)
{
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("DELETE FROM presence WHERE name = ? AND node = ?"));
    q.addBindValue(fromWire(name));
    q.addBindValue(id_);
    q.exec();
}

bool ServerNode::put(const QString& node, const QByteArray& kind, const QByteArray& recipient,
                     const QByteArray& text, const QString& created)
{
    QSqlQuery q(db_);
    q.prepare(QStringLiteral(
        "INSERT INTO inbox(node, kind, recipient, text, created) VALUES(?, ?, ?, ?, ?)"));
    q.addBindValue(node);
    q.addBindValue(QString::fromLatin1(kind));
    q.addBindValue(fromWire(recipient));
    // Never NULL, for a session's end too.
    q.addBindValue(text.isEmpty() ? QStringLiteral("") : fromWire(text));
    q.addBindValue(created.isEmpty() ? QStringLiteral("") : created);
    if (!q.exec())
        return false;
    // Delivered at the commit, with the row.
    return q.exec(QStringLiteral("NOTIFY ") + channelOf(node));
}

void ServerNode::deliver(const QString& node, const QString& day, const QString& time,
                         const QByteArray& sender, const QByteArray& recipient,
                         const QByteArray& body, const QByteArray& display, const QString& created)
{
    outgoing_.push_back({node, day, time, fromWire(sender), fromWire(recipient), fromWire(body),
                         fromWire(display), created});
    if (!flushTimer_.isActive())
        flushTimer_.start(0);
}

QString ServerNode::literal(const QString& text) const
{
    QSqlField field(QString(), QMetaType::fromType<QString>());
    field.setValue(text.isNull() ? QStringLiteral("") : text);
    return db_.driver()->formatValue(field);
}

void ServerNode::flushOutgoing()
{
    if (outgoing_.empty())
        return;
    // One statement per table for the whole batch: a round trip per message would cap what a
    // node routes to the others.
    QString messages =
        QStringLiteral("INSERT INTO messages(day, time, sender, recipient, body) VALUES ");
    QString inbox =
        QStringLiteral("INSERT INTO inbox(node, kind, recipient, text, created) VALUES ");
    QSet<QString> nodes;
    for (std::size_t i = 0; i < outgoing_.size(); ++i) {
        const Outgoing& o = outgoing_[i];
        const QString comma = i ? QStringLiteral(", ") : QString();
        messages += comma + QLatin1Char('(') + literal(o.day) + QLatin1Char(',') + literal(o.time) +
                    QLatin1Char(',') + literal(o.sender) + QLatin1Char(',') + literal(o.recipient) +
                    QLatin1Char(',') + literal(o.body) + QLatin1Char(')');
        inbox += comma + QLatin1Char('(') + literal(o.node) + QStringLiteral(",'m',") +
                 literal(o.recipient) + QLatin1Char(',') + literal(o.display) + QLatin1Char(',') +
                 literal(o.created) + QLatin1Char(')');
        nodes.insert(o.node);
    }
    QSqlQuery q(db_);
    bool ok = db_.transaction() && q.exec(messages) && q.exec(inbox);
    for (const QString& node : std::as_const(nodes))
        ok = ok && q.exec(QStringLiteral("NOTIFY ") + channelOf(node));
    if (!ok || !db_.commit()) {
        logLine(QStringLiteral("could not route %1 message(s) to other nodes: %2")
                    .arg(outgoing_.size())
                    .arg(q.lastError().text() + db_.lastError().text()));
        db_.rollback();
        flushTimer_.start(kHeartbeatMs); // kept, and tried again
        return;
    }
    outgoing_.clear();
}

bool ServerNode::endSessionThere(const QString& node, const QByteArray& name)
{
    if (!db_.transaction())
        return false;
    if (!put(node, "otlog", name, {}, {}) || !db_.commit()) {
        db_.rollback();
        return false;
    }
    return true;
}

QList<ServerNode::InboxRow> ServerNode::inbox(int limit)
{
    QList<InboxRow> rows;
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT id, kind, recipient, text, created FROM inbox WHERE node = ? "
                             "ORDER BY id LIMIT ?"));
    q.addBindValue(id_);
    q.addBindValue(limit);
    if (!q.exec())
        return rows;
    while (q.next())
        rows.append({q.value(0).toLongLong(), q.value(1).toString().toLatin1(),
                     toWire(q.value(2).toString()), toWire(q.value(3).toString()),
                     q.value(4).toString()});
    return rows;
}

bool ServerNode::settle(qint64 upTo, const QList<InboxRow>& toOffline)
{
    if (!db_.transaction())
        return false;
    QSqlQuery q(db_);
    bool ok = true;
    for (const InboxRow& row : toOffline) {
        q.prepare(QStringLiteral("INSERT INTO inbox(node, kind, recipient, text, created) SELECT "
                                 "node, 'm', name, ?, ? FROM presence WHERE name = ? AND node <> "
                                 "? AND node IN ") +
                  live() + QStringLiteral(" RETURNING node"));
        q.addBindValue(fromWire(row.text));
        q.addBindValue(row.created);
        q.addBindValue(fromWire(row.recipient));
        q.addBindValue(id_);
        ok = ok && q.exec();
        if (ok && q.next()) {
            ok = q.exec(QStringLiteral("NOTIFY ") + channelOf(q.value(0).toString()));
            continue;
        }
        q.prepare(QStringLiteral("INSERT INTO offline(recipient, text, created) VALUES(?, ?, ?)"));
        q.addBindValue(fromWire(row.recipient));
        q.addBindValue(fromWire(row.text));
        q.addBindValue(row.created);
        ok = ok && q.exec();
    }
    q.prepare(QStringLiteral("DELETE FROM inbox WHERE node = ? AND id <= ?"));
    q.addBindValue(id_);
    q.addBindValue(upTo);
    if (!ok || !q.exec() || !db_.commit()) {
        db_.rollback();
        return false;
    }
    return true;
}

void ServerNode::heartbeat()
{
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("UPDATE nodes SET seen = now() WHERE id = ?"));
    q.addBindValue(id_);
    const bool beat = q.exec();
    if (beat)
        registered_ = q.numRowsAffected() == 1;
    if (beat && q.numRowsAffected() == 0) {
        // Declared dead meanwhile (a long stall): back in, with this node's users.
        q.prepare(QStringLiteral("INSERT INTO nodes(id, seen) VALUES(?, now())"));
        q.addBindValue(id_);
        registered_ = q.exec();
        emit presenceLost();
    }
    if (beat && registered_) {
        beat_.start();
        if (q.exec(QStringLiteral("SELECT count(*) FROM nodes WHERE id IN %1").arg(live())) &&
            q.next())
            nodesAlive_ = q.value(0).toInt();
    }
    // Dead nodes: their users are gone, and what waited for them goes to the node a user has
    // logged on to since, or else to the offline queue; so do rows that reached an inbox after
    // its node was removed.
    QList<QByteArray> gone;
    if (db_.transaction()) {
        const auto takeGone = [&] {
            while (q.next())
                gone.append(addressOf(toWire(q.value(0).toString()), q.value(1).toInt()));
            return true;
        };
        const bool ok =
            q.exec(QStringLiteral("DELETE FROM nodes WHERE seen <= now() - interval '%1 "
                                  "seconds'")
                       .arg(kExpirySeconds)) &&
            q.exec(QStringLiteral("DELETE FROM presence WHERE node NOT IN (SELECT id FROM "
                                  "nodes) RETURNING name, level")) &&
            takeGone() &&
            q.exec(QStringLiteral(
                "WITH gone AS (DELETE FROM inbox WHERE node NOT IN (SELECT id FROM nodes) "
                "RETURNING id, kind, recipient, text, created), "
                "kept AS (INSERT INTO offline(recipient, text, created) SELECT recipient, text, "
                "created FROM gone WHERE kind = 'm' AND recipient NOT IN (SELECT name FROM "
                "presence) ORDER BY id), "
                "moved AS (INSERT INTO inbox(node, kind, recipient, text, created) SELECT "
                "p.node, g.kind, g.recipient, g.text, g.created FROM gone g JOIN presence p ON "
                "p.name = g.recipient WHERE g.kind = 'm' ORDER BY g.id RETURNING node) "
                "SELECT pg_notify('wispline_' || node, '') FROM (SELECT DISTINCT node FROM "
                "moved) AS woken"));
        if (!ok || !db_.commit()) {
            db_.rollback();
            gone.clear();
        }
    }
    if (!gone.isEmpty()) {
        // Every live node learns it from its own heartbeat's turn or from this one.
        for (const QByteArray& address : std::as_const(gone))
            announce("lgo", address);
        emit usersGone(gone);
    }
    emit wake();
}

} // namespace wispline::server
