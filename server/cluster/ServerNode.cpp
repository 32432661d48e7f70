#include "cluster/ServerNode.h"

#include "base/ServerLog.h"
#include "base/ServerRules.h"
#include "cluster/NodeHeartbeat.h"
#include "store/ServerStore.h"
#include "store/StoreConnection.h"

#include <QRandomGenerator>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

namespace wispline::server
{
namespace
{

// What a waiting message costs besides its texts: names, times, the vector's slot.
constexpr qint64 kOutgoingOverhead = 256;

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
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &ServerNode::flushOutgoing);
    announceTimer_.setSingleShot(true);
    connect(&announceTimer_, &QTimer::timeout, this, &ServerNode::flushAnnouncements);
}

ServerNode::~ServerNode()
{
    beat_.reset();
    if (db_.isOpen())
        flushOutgoing();
    if (!outgoing_.empty())
        logLine(QStringLiteral("%1 message(s) for users of other nodes could not be written and "
                               "are lost")
                    .arg(outgoing_.size()));
    if (db_.isOpen()) {
        if (!left_)
            flushAnnouncements();
        // Out of the nodes, then taken over as a dead node is: users still recorded here leave
        // the other nodes' lists (when leave() did not tell them), and the inbox goes where each
        // user is now, or to the offline queues.
        QSqlQuery q(db_);
        if (!left_) {
            q.prepare(QStringLiteral("DELETE FROM nodes WHERE id = ?"));
            q.addBindValue(id_);
            q.exec();
        }
        if (!q.exec(NodeHeartbeat::takeover(kExpirySeconds)))
            logLine(QStringLiteral("could not hand this node's users and inbox over: %1")
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
    db_ = store_.addConnection(connectionName_, ServerStore::kRoutingBusyMs);
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
    if (!listen()) {
        *error = listen_.driver()->lastError().text();
        return false;
    }
    const auto remote = readRemote();
    if (!remote) {
        *error = db_.lastError().text();
        return false;
    }
    remote_ = *remote;
    // The callbacks come from the heartbeat's thread: each is carried over to this one, and
    // dropped once this object is gone.
    beat_ = std::make_unique<NodeHeartbeat>(
        store_, id_, kHeartbeatMs, kExpirySeconds,
        [this] {
            QMetaObject::invokeMethod(
                this,
                [this] {
                    checkConnections();
                    retryPresence();
                    emit wake();
                },
                Qt::QueuedConnection);
        },
        [this] {
            QMetaObject::invokeMethod(
                this, [this] { emit declaredDead(); }, Qt::QueuedConnection);
        },
        [this](const QString& line) {
            QMetaObject::invokeMethod(
                this, [line] { logLine(line); }, Qt::QueuedConnection);
        });
    beat_->start();
    logLine(QStringLiteral("node %1 on the shared database").arg(id_));
    // Whatever was routed here before the LISTEN.
    QTimer::singleShot(0, this, [this] { emit wake(); });
    return true;
}

bool ServerNode::listen()
{
    if (!listen_.driver()->subscribeToNotification(channelOf(id_)))
        return false;
    connect(listen_.driver(), &QSqlDriver::notification, this, [this] { emit wake(); });
    return true;
}

void ServerNode::checkConnections()
{
    // The heartbeat went through, so the database is there: this thread's connections are
    // tried too, and opened again when they fail (a restart of the database ends them).
    QSqlQuery probe(db_);
    QSqlQuery probeListen(listen_);
    if (probe.exec(QStringLiteral("SELECT 1")) && probeListen.exec(QStringLiteral("SELECT 1"))) {
        if (reopenWaitMs_ > 0)
            logLine(QStringLiteral("node %1: database connections open again").arg(id_));
        reopenWaitMs_ = 0;
        return;
    }
    if (reopenClock_.isValid() && reopenClock_.elapsed() < reopenWaitMs_)
        return;
    if (reopenWaitMs_ == 0)
        logLine(QStringLiteral("node %1: database connections lost (%2), opening them again")
                    .arg(id_, probe.lastError().text() + probeListen.lastError().text()));
    reopenWaitMs_ = std::min(8000, std::max(1000, reopenWaitMs_ * 2));
    reopenClock_.start();
    db_.close();
    // A new connection for the notifications: the old one's subscription dies with it.
    listen_.close();
    listen_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(listenName_);
    listenName_ = connectionName_ + QStringLiteral("-listen-%1").arg(++listenGeneration_);
    listen_ = store_.addConnection(listenName_);
    if (db_.open() && listen_.open() && listen())
        QTimer::singleShot(0, this, [this] { emit wake(); }); // what came meanwhile
}

QString ServerNode::live() const
{
    return QStringLiteral("(SELECT id FROM nodes WHERE seen > now() - interval '%1 seconds')")
        .arg(kExpirySeconds);
}

std::optional<QHash<QByteArray, ServerNode::Remote>> ServerNode::readRemote()
{
    QSqlQuery q(db_);
    q.prepare(
        QStringLiteral("SELECT name, node, level FROM presence WHERE node <> ? AND node IN ") +
        live());
    q.addBindValue(id_);
    if (!q.exec())
        return std::nullopt;
    QHash<QByteArray, Remote> remote;
    while (q.next())
        remote.insert(toWire(q.value(0).toString()), {q.value(1).toString(), q.value(2).toInt()});
    return remote;
}

QList<QByteArray> ServerNode::remoteUsers(int level) const
{
    QList<QByteArray> names;
    for (auto it = remote_.cbegin(); it != remote_.cend(); ++it) {
        if (it->level == level)
            names.append(it.key());
    }
    return names;
}

QList<QByteArray> ServerNode::remoteAddresses() const
{
    QList<QByteArray> addresses;
    addresses.reserve(remote_.size());
    for (auto it = remote_.cbegin(); it != remote_.cend(); ++it)
        addresses.append(addressOf(it.key(), it->level));
    return addresses;
}

void ServerNode::heard(const QByteArray& kind, const QString& node, const QByteArray& name,
                       int level)
{
    if (kind == "usrs") {
        remote_.insert(name, {node, level});
        return;
    }
    // A user's leaving, heard after its coming to another node, leaves it there.
    const auto it = remote_.find(name);
    if (it != remote_.end() && (node.isEmpty() || it->node == node))
        remote_.erase(it);
}

std::pair<QList<QByteArray>, QList<QByteArray>> ServerNode::reread()
{
    const auto now = readRemote();
    if (!now)
        return {};
    QList<QByteArray> came;
    QList<QByteArray> went;
    for (auto it = now->cbegin(); it != now->cend(); ++it) {
        if (!remote_.contains(it.key()))
            came.append(addressOf(it.key(), it->level));
    }
    for (auto it = remote_.cbegin(); it != remote_.cend(); ++it) {
        if (!now->contains(it.key()))
            went.append(addressOf(it.key(), it->level));
    }
    remote_ = *now;
    return {came, went};
}

void ServerNode::announce(const QByteArray& kind, const QList<QByteArray>& addresses)
{
    // Those of one turn of the event loop go together: a crowd logging on at once (after the
    // loss of a node) costs the others one row per turn, not one per user.
    for (const QByteArray& address : addresses)
        announcements_.push_back({kind, address});
    if (!announcements_.empty() && !announceTimer_.isActive())
        announceTimer_.start(0);
}

void ServerNode::flushAnnouncements()
{
    if (announcements_.empty())
        return;
    // One row per run of one kind, in order: a user's leaving and coming back stay in order.
    QSqlQuery q(db_);
    bool ok = db_.transaction();
    for (std::size_t i = 0; ok && i < announcements_.size();) {
        const QByteArray& kind = announcements_[i].first;
        QList<QByteArray> addresses;
        for (; i < announcements_.size() && announcements_[i].first == kind; ++i)
            addresses.append(announcements_[i].second);
        // The row names the node the users are on, in the place of a recipient.
        q.prepare(QStringLiteral("INSERT INTO inbox(node, kind, recipient, text, created) SELECT "
                                 "id, ?, ?, ?, '' FROM nodes WHERE id <> ? AND id IN ") +
                  live());
        q.addBindValue(QString::fromLatin1(kind));
        q.addBindValue(id_);
        q.addBindValue(fromWire(addresses.join(kSeparator)));
        q.addBindValue(id_);
        ok = q.exec();
    }
    q.prepare(QStringLiteral("SELECT pg_notify('wispline_' || id, '') FROM nodes WHERE id <> ?"));
    q.addBindValue(id_);
    if (!ok || !q.exec() || !db_.commit()) {
        db_.rollback();
        announceTimer_.start(kHeartbeatMs); // kept, and tried again
        return;
    }
    announcements_.clear();
}

ServerNode::Others ServerNode::othersLive()
{
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT 1 FROM nodes WHERE id <> ? AND id IN ") + live());
    q.addBindValue(id_);
    if (!q.exec())
        return Others::Unknown;
    return q.next() ? Others::Some : Others::None;
}

bool ServerNode::leave(const QList<QByteArray>& addresses)
{
    beat_.reset(); // a heartbeat now would register this node again
    flushAnnouncements();
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("DELETE FROM nodes WHERE id = ?"));
    q.addBindValue(id_);
    bool ok = db_.transaction() && q.exec();
    q.prepare(QStringLiteral("DELETE FROM presence WHERE node = ?"));
    q.addBindValue(id_);
    ok = ok && q.exec();
    if (ok && !addresses.isEmpty()) {
        q.prepare(QStringLiteral("INSERT INTO inbox(node, kind, recipient, text, created) SELECT "
                                 "id, 'lgo', ?, ?, '' FROM nodes WHERE id IN ") +
                  live());
        q.addBindValue(id_);
        q.addBindValue(fromWire(addresses.join(kSeparator)));
        ok = q.exec() &&
             q.exec(QStringLiteral("SELECT pg_notify('wispline_' || id, '') FROM nodes"));
    }
    if (!ok || !db_.commit()) {
        logLine(QStringLiteral("could not leave the cluster: %1")
                    .arg(q.lastError().text() + db_.lastError().text()));
        db_.rollback();
        return false;
    }
    left_ = true;
    return true;
}

QString ServerNode::setPresent(const QByteArray& name, int level)
{
    absentLater_.remove(name); // here again: a removal still to be tried would undo this
    QSqlQuery q(db_);
    // A node that is dead already has no session to end.
    q.prepare(
        QStringLiteral("WITH before AS (SELECT node FROM presence WHERE name = ? AND node IN ") +
        live() +
        QStringLiteral(") INSERT INTO presence(name, node, level) VALUES(?, ?, ?) ON "
                       "CONFLICT(name) DO UPDATE SET node = EXCLUDED.node, level = "
                       "EXCLUDED.level RETURNING (SELECT node FROM before)"));
    q.addBindValue(fromWire(name));
    q.addBindValue(fromWire(name));
    q.addBindValue(id_);
    q.addBindValue(level);
    if (!q.exec() || !q.next()) {
        logLine(QStringLiteral("presence of %1 not recorded: %2")
                    .arg(fromWire(name), q.lastError().text()));
        return nodeOf(name);
    }
    const QString before = q.value(0).toString();
    return before == id_ ? QString() : before;
}

std::optional<QSet<QByteArray>> ServerNode::reclaim(const QList<std::pair<QByteArray, int>>& users)
{
    QSet<QByteArray> mine;
    if (users.isEmpty())
        return mine;
    // A user recorded on another node meanwhile stays there: only rows of this node are
    // written over, and only the names written come back.
    QString values;
    for (const auto& [name, level] : users)
        values += (values.isEmpty() ? QStringLiteral("(") : QStringLiteral(", (")) +
                  literal(fromWire(name)) + QLatin1Char(',') + literal(id_) + QLatin1Char(',') +
                  QString::number(level) + QLatin1Char(')');
    QSqlQuery q(db_);
    if (!q.exec(QStringLiteral("INSERT INTO presence(name, node, level) VALUES ") + values +
                QStringLiteral(" ON CONFLICT(name) DO UPDATE SET level = EXCLUDED.level WHERE "
                               "presence.node = EXCLUDED.node RETURNING name"))) {
        logLine(QStringLiteral("could not record this node's users again: %1")
                    .arg(q.lastError().text()));
        return std::nullopt;
    }
    while (q.next())
        mine.insert(toWire(q.value(0).toString()));
    return mine;
}

void ServerNode::setAbsent(const QByteArray& name)
{
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("DELETE FROM presence WHERE name = ? AND node = ?"));
    q.addBindValue(fromWire(name));
    q.addBindValue(id_);
    if (q.exec()) {
        absentLater_.remove(name);
        return;
    }
    // Left here, the user would stay in everyone's lists and messages would come here for it.
    if (!absentLater_.contains(name))
        logLine(QStringLiteral("the leaving of %1 could not be recorded (%2); tried again each "
                               "second")
                    .arg(fromWire(name), q.lastError().text()));
    absentLater_.insert(name);
}

void ServerNode::retryPresence()
{
    for (const QByteArray& name : QSet<QByteArray>(absentLater_)) {
        setAbsent(name);
        if (!absentLater_.contains(name))
            logLine(QStringLiteral("the leaving of %1 recorded").arg(fromWire(name)));
    }
    for (const auto& [node, name] : std::vector(endLater_)) {
        if (!endSessionThere(node, name))
            continue;
        endLater_.erase(std::find(endLater_.begin(), endLater_.end(), std::pair(node, name)));
        logLine(QStringLiteral("the end of the session of %1 on node %2 asked for")
                    .arg(fromWire(name), node));
    }
}

void ServerNode::deliver(const QString& node, const QString& day, const QString& time,
                         const QByteArray& sender, const QByteArray& recipient,
                         const QByteArray& body, const QByteArray& display, const QString& created)
{
    if (outgoing_.empty())
        outgoingSince_.start();
    outgoing_.push_back({node, day, time, fromWire(sender), fromWire(recipient), fromWire(body),
                         fromWire(display), created});
    outgoingBytes_ += body.size() + display.size() + kOutgoingOverhead;
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
    if (ok && db_.commit()) {
        outgoing_.clear();
        outgoingBytes_ = 0;
        return;
    }
    const QSqlError error = q.lastError().isValid() ? q.lastError() : db_.lastError();
    db_.rollback();
    // A row the database cannot take must not hold up the rows behind it: one at a time, each
    // in a transaction of its own, and a row at fault is set aside.
    std::size_t done = 0;
    if (rowAtFault(error, true)) {
        while (done < outgoing_.size() && flushOne(outgoing_[done]))
            ++done;
        outgoing_.erase(outgoing_.begin(), outgoing_.begin() + std::ptrdiff_t(done));
        outgoingBytes_ = 0;
        for (const Outgoing& o : outgoing_)
            outgoingBytes_ += o.body.size() + o.display.size() + kOutgoingOverhead;
        if (outgoing_.empty())
            return;
        outgoingSince_.start(); // the wait counts from the last that went
    }
    logLine(QStringLiteral("could not route %1 message(s) to other nodes: %2")
                .arg(outgoing_.size())
                .arg(error.text()));
    flushTimer_.start(kHeartbeatMs); // kept, and tried again
}

bool ServerNode::flushOne(const Outgoing& o)
{
    QSqlQuery q(db_);
    const auto run = [&q](const QString& statement, const QVariantList& values) {
        if (!q.prepare(statement))
            return false;
        for (const QVariant& value : values)
            q.addBindValue(value);
        return q.exec();
    };
    bool ok = db_.transaction() &&
              run(QStringLiteral("INSERT INTO messages(day, time, sender, recipient, body) "
                                 "VALUES(?, ?, ?, ?, ?)"),
                  {o.day, o.time, o.sender, o.recipient, o.body}) &&
              run(QStringLiteral("INSERT INTO inbox(node, kind, recipient, text, created) "
                                 "VALUES(?, 'm', ?, ?, ?)"),
                  {o.node, o.recipient, o.display, o.created}) &&
              q.exec(QStringLiteral("NOTIFY ") + channelOf(o.node)); // not a statement to prepare
    if (ok && db_.commit())
        return true;
    const QSqlError error = q.lastError().isValid() ? q.lastError() : db_.lastError();
    db_.rollback();
    if (!rowAtFault(error, true))
        return false;
    const bool kept =
        setAside(db_, QStringLiteral("cross-node"), error,
                 {o.node, o.day, o.time, o.sender, o.recipient, o.body, o.display, o.created});
    // Neither names nor text: the error's code says what was wrong.
    logLine(QStringLiteral("a message for a user of another node could not be written (error "
                           "%1) and is %2")
                .arg(error.nativeErrorCode(),
                     kept ? QStringLiteral("set aside in set_aside") : QStringLiteral("lost")));
    return true;
}

qint64 ServerNode::outgoingWaitingMs() const
{
    return outgoing_.empty() || !outgoingSince_.isValid() ? 0 : outgoingSince_.elapsed();
}

std::vector<SpilledRow> ServerNode::takeOutgoing(bool tryFirst)
{
    flushTimer_.stop();
    if (tryFirst && db_.isOpen())
        flushOutgoing();
    flushTimer_.stop();
    std::vector<SpilledRow> rows;
    rows.reserve(outgoing_.size());
    for (Outgoing& o : outgoing_) {
        SpilledRow r;
        r.kind = SpilledRow::Kind::ForOtherNode;
        r.day = std::move(o.day);
        r.time = std::move(o.time);
        r.sender = std::move(o.sender);
        r.recipient = std::move(o.recipient);
        r.body = std::move(o.body);
        r.text = std::move(o.display);
        r.created = std::move(o.created);
        rows.push_back(std::move(r));
    }
    outgoing_.clear();
    outgoingBytes_ = 0;
    return rows;
}

bool ServerNode::endSessionThere(const QString& node, const QByteArray& name)
{
    // One round trip: a crowd logging on after the loss of a node pays it per user.
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("WITH put AS (INSERT INTO inbox(node, kind, recipient, text, created) "
                             "VALUES(?, 'otlog', ?, '', '') RETURNING node) SELECT "
                             "pg_notify('wispline_' || node, '') FROM put"));
    q.addBindValue(node);
    q.addBindValue(fromWire(name));
    if (q.exec())
        return true;
    // Left undone, the user would be logged on at two nodes.
    const std::pair<QString, QByteArray> end{node, name};
    if (std::find(endLater_.cbegin(), endLater_.cend(), end) == endLater_.cend()) {
        logLine(QStringLiteral("the end of the session of %1 on node %2 could not be asked for "
                               "(%3); tried again each second")
                    .arg(fromWire(name), node, q.lastError().text()));
        endLater_.push_back(end);
    }
    return false;
}

void ServerNode::queuedMeanwhile(const QList<QByteArray>& names)
{
    if (names.isEmpty())
        return;
    QString list;
    for (const QByteArray& name : names)
        list += (list.isEmpty() ? QString() : QStringLiteral(",")) + literal(fromWire(name));
    QSqlQuery q(db_);
    if (!q.exec(QStringLiteral("WITH told AS (INSERT INTO inbox(node, kind, recipient, text, "
                               "created) SELECT node, 'offl', name, '', '' FROM presence WHERE "
                               "name IN (") +
                list + QStringLiteral(") AND node <> ") + literal(id_) +
                QStringLiteral(" AND node IN ") + live() +
                QStringLiteral(" RETURNING node) SELECT pg_notify('wispline_' || node, '') FROM "
                               "(SELECT DISTINCT node FROM told) AS woken")))
        logLine(QStringLiteral("could not tell the other nodes of messages queued meanwhile: %1")
                    .arg(q.lastError().text()));
}

QList<ServerNode::InboxRow> ServerNode::inbox(int limit)
{
    QList<InboxRow> rows;
    if (left_)
        return rows; // the others move what comes now, and the end takes the rest
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

bool ServerNode::settle(const QList<InboxRow>& read, const QList<InboxRow>& toOffline)
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
    QString ids;
    for (const InboxRow& row : read)
        ids += (ids.isEmpty() ? QString() : QStringLiteral(",")) + QString::number(row.id);
    q.prepare(QStringLiteral("DELETE FROM inbox WHERE node = ? AND id IN (%1)").arg(ids));
    q.addBindValue(id_);
    if (!ok || !q.exec() || !db_.commit()) {
        db_.rollback();
        return false;
    }
    return true;
}

bool ServerNode::registered() const
{
    return beat_ && beat_->registered();
}

qint64 ServerNode::heartbeatAgeMs() const
{
    return beat_ ? beat_->ageMs() : -1;
}

int ServerNode::nodesAlive() const
{
    return beat_ ? beat_->nodesAlive() : 0;
}

} // namespace wispline::server
