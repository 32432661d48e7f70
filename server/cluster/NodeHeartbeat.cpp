#include "cluster/NodeHeartbeat.h"

#include "store/ServerStore.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <pthread.h>

#include <algorithm>
#include <chrono>

namespace wispline::server
{

NodeHeartbeat::NodeHeartbeat(const ServerStore& store, const QString& node, int intervalMs,
                             int expirySeconds, std::function<void()> beat,
                             std::function<void()> declaredDead,
                             std::function<void(const QString&)> say)
    : store_(store), node_(node), connectionName_(QStringLiteral("wispline-beat-") + node),
      intervalMs_(intervalMs), expirySeconds_(expirySeconds), beat_(std::move(beat)),
      declaredDead_(std::move(declaredDead)), say_(std::move(say))
{
}

NodeHeartbeat::~NodeHeartbeat()
{
    stop();
}

void NodeHeartbeat::start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { run(); });
}

void NodeHeartbeat::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wakeUp_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

QString NodeHeartbeat::takeover(int expirySeconds)
{
    const QString live =
        QStringLiteral("(SELECT id FROM nodes WHERE seen > now() - interval '%1 seconds')")
            .arg(expirySeconds);
    // Only the nodes removed now, or gone before: a node whose heartbeat is being written
    // meanwhile (its row locked, so skipped) keeps its users and its inbox.
    const QString gone =
        QStringLiteral("(node IN (SELECT id FROM dead) OR node NOT IN (SELECT id FROM nodes))");
    return QStringLiteral(
               "WITH dead AS (DELETE FROM nodes WHERE id IN (SELECT id FROM nodes WHERE seen <= "
               "now() - interval '%1 seconds' FOR UPDATE SKIP LOCKED) RETURNING id), "
               "gone AS (DELETE FROM presence WHERE name IN (SELECT name FROM presence WHERE %3 "
               "FOR UPDATE SKIP LOCKED) RETURNING name, level), "
               "told AS (INSERT INTO inbox(node, kind, recipient, text, created) SELECT l.id, "
               "'lgo', '', string_agg(g.name || g.level, '~' ORDER BY g.name), '' FROM %2 AS "
               "l CROSS JOIN gone g GROUP BY l.id RETURNING node), "
               "orphans AS (DELETE FROM inbox WHERE id IN (SELECT id FROM inbox WHERE %3 FOR "
               "UPDATE SKIP LOCKED) RETURNING id, kind, recipient, text, created), "
               "here AS (SELECT name, node FROM presence WHERE NOT (%3) AND name NOT IN "
               "(SELECT name FROM gone)), "
               "kept AS (INSERT INTO offline(recipient, text, created) SELECT recipient, text, "
               "created FROM orphans WHERE kind = 'm' AND recipient NOT IN (SELECT name FROM "
               "here) ORDER BY id), "
               "moved AS (INSERT INTO inbox(node, kind, recipient, text, created) SELECT h.node, "
               "o.kind, o.recipient, o.text, o.created FROM orphans o JOIN here h ON h.name = "
               "o.recipient WHERE o.kind = 'm' ORDER BY o.id RETURNING node) "
               "SELECT pg_notify('wispline_' || node, '') FROM (SELECT node FROM told UNION "
               "SELECT node FROM moved) AS woken")
        .arg(expirySeconds)
        .arg(live, gone);
}

void NodeHeartbeat::run()
{
    // Named, so that top -H and the benchmark tell the threads apart.
    pthread_setname_np(pthread_self(), "heartbeat");
    int failures = 0;
    for (;;) {
        QString problem;
        const bool ok = beatOnce(&problem);
        registered_ = ok;
        if (!problem.isEmpty() && (failures == 0 || ok))
            say_(problem);
        if (ok && failures > 0)
            say_(QStringLiteral("heartbeat works again"));
        failures = ok ? 0 : std::min(failures + 1, 8);
        if (ok)
            beat_();
        // A connection that failed is opened again at the next beat; past a few failures in a
        // row the beats space out, up to half the expiry, not to hammer a database that is away.
        const int wait =
            failures < 3 ? intervalMs_ : std::min(expirySeconds_ * 500, intervalMs_ << failures);
        std::unique_lock<std::mutex> lock(mutex_);
        if (wakeUp_.wait_for(lock, std::chrono::milliseconds(wait), [this] { return stopping_; }))
            break;
    }
    if (QSqlDatabase::contains(connectionName_)) {
        {
            QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
            db.close();
        }
        QSqlDatabase::removeDatabase(connectionName_);
    }
}

namespace
{
qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
} // namespace

bool NodeHeartbeat::beatOnce(QString* problem)
{
    QSqlDatabase db = QSqlDatabase::contains(connectionName_)
                          ? QSqlDatabase::database(connectionName_, false)
                          : store_.addConnection(connectionName_);
    if (!db.isOpen()) {
        if (!db.open()) {
            *problem = QStringLiteral("heartbeat: cannot reach the database: %1")
                           .arg(db.lastError().text());
            return false;
        }
        // Short waits: a lock held by an orphaned session of a dead node fails the statement,
        // which the next beat tries again, rather than stopping the beats.
        QSqlQuery setup(db);
        if (!setup.exec(QStringLiteral("SET lock_timeout = '1s'")) ||
            !setup.exec(
                QStringLiteral("SET statement_timeout = '%1ms'").arg(expirySeconds_ * 1000 / 2))) {
            *problem = QStringLiteral("heartbeat: %1").arg(setup.lastError().text());
            db.close();
            return false;
        }
    }
    QSqlQuery q(db);
    q.prepare(QStringLiteral("UPDATE nodes SET seen = now() WHERE id = ?"));
    q.addBindValue(node_);
    if (!q.exec()) {
        *problem = QStringLiteral("heartbeat failed: %1").arg(q.lastError().text());
        // Opened again at the next beat: a failed statement on a live connection costs a
        // reconnect, a dead connection is never kept.
        db.close();
        return false;
    }
    if (q.numRowsAffected() == 0) {
        q.prepare(QStringLiteral("INSERT INTO nodes(id, seen) VALUES(?, now()) ON CONFLICT(id) DO "
                                 "UPDATE SET seen = now()"));
        q.addBindValue(node_);
        if (!q.exec()) {
            *problem = QStringLiteral("heartbeat failed: %1").arg(q.lastError().text());
            db.close();
            return false;
        }
        say_(QStringLiteral("this node was taken for dead (a stall): joining again"));
        declaredDead_();
    }
    lastBeatMs_ = steadyMs();
    // Tried again at the next beat when it fails: the own heartbeat above went through.
    if (!q.exec(takeover(expirySeconds_)))
        *problem = QStringLiteral("taking over dead nodes failed: %1").arg(q.lastError().text());
    if (q.exec(QStringLiteral("SELECT count(*) FROM nodes WHERE seen > now() - interval '%1 "
                              "seconds'")
                   .arg(expirySeconds_)) &&
        q.next())
        nodesAlive_ = q.value(0).toInt();
    return true;
}

qint64 NodeHeartbeat::ageMs() const
{
    const qint64 last = lastBeatMs_;
    return last < 0 ? -1 : steadyMs() - last;
}

} // namespace wispline::server
