#include "store/OfflineQueue.h"
#include "store/StoreConnection.h"

#include "base/ServerLog.h"
#include "base/ServerMetrics.h"
#include "base/ServerRules.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QVariant>

namespace wispline::server
{
namespace
{

// What a pending write holds, near enough, counted without converting anything.
qint64 bytesOf(const QString& a, const QString& b)
{
    return 64 + 2 * (a.size() + b.size());
}

// A LIMIT value: SQLite takes -1 for none, PostgreSQL NULL.
QVariant limitValue(int limit, bool postgres)
{
    if (limit < 0 && postgres)
        return QVariant(QMetaType::fromType<qint64>());
    return QVariant(limit);
}

} // namespace

OfflineQueue::OfflineQueue(RoutingConnection& routing, StorageThread& storage,
                           StoreFailures& failures)
    : routing_(routing), storage_(storage), failures_(failures)
{
    flushTimer_.setSingleShot(true);
    QObject::connect(&flushTimer_, &QTimer::timeout, &flushTimer_, [this] {
        if (!flush())
            flushTimer_.start(StorageThread::kRetryMs);
    });
    routing_.keepPrepared([this] { unprepare(); }, [this] { prepare(); });
}

void OfflineQueue::prepare()
{
    insertMessage_ = std::make_unique<QSqlQuery>(routing_.db());
    insertMessage_->prepare(QStringLiteral("INSERT INTO messages(day, time, sender, recipient, "
                                           "body) VALUES(?, ?, ?, ?, ?)"));
    insertOffline_ = std::make_unique<QSqlQuery>(routing_.db());
    insertOffline_->prepare(
        QStringLiteral("INSERT INTO offline(recipient, text, created) VALUES(?, ?, ?)"));
}

void OfflineQueue::unprepare()
{
    insertMessage_.reset();
    insertOffline_.reset();
}

void OfflineQueue::addRecord(const QString& day, const QString& time, const QByteArray& sender,
                             const QByteArray& recipient, const QByteArray& body)
{
    PendingWrite w;
    w.day = day;
    w.time = time;
    w.sender = fromWire(sender);
    w.recipient = fromWire(recipient);
    w.text = fromWire(body);
    pendingBytes_ += bytesOf(w.recipient, w.text);
    pending_.push_back(std::move(w));
    scheduleFlush();
}

void OfflineQueue::add(const QString& created, const QByteArray& recipient,
                       const QByteArray& displayText, bool commitNow)
{
    PendingWrite w;
    w.offline = true;
    w.created = created;
    w.recipient = fromWire(recipient);
    w.text = fromWire(displayText);
    pendingBytes_ += bytesOf(w.recipient, w.text);
    pending_.push_back(std::move(w));
    // Nobody else holds this message until its recipient logs on: commit it at once. It is
    // rare next to deliveries to connected users, so the batching loses nothing here.
    if (!commitNow || !flushOffline())
        scheduleFlush();
}

bool OfflineQueue::flushOffline()
{
    // While the store fails, the retry timer tries: routing does not wait on it each time.
    if (failures_.failing()) {
        scheduleFlush();
        return false;
    }
    return flush();
}

void OfflineQueue::retryNow()
{
    if (!pending_.empty())
        flushTimer_.start(0);
}

void OfflineQueue::scheduleFlush()
{
    if (!flushTimer_.isActive())
        flushTimer_.start(storage_.commitDelayMs());
}

bool OfflineQueue::flush()
{
    if (pending_.empty())
        return true;
    QElapsedTimer took;
    took.start();
    const QString what = QStringLiteral("saving offline messages");
    if (!routing_.usable()) {
        failures_.reportFailure(what, routing_.lastError());
        return false;
    }
    const bool postgres = routing_.postgres();
    QSqlDatabase& db = routing_.db();
    const auto bound = [this](const PendingWrite& w) -> QSqlQuery& {
        QSqlQuery& q = w.offline ? *insertOffline_ : *insertMessage_;
        if (w.offline) {
            q.bindValue(0, w.recipient);
            q.bindValue(1, w.text);
            q.bindValue(2, w.created);
        } else {
            q.bindValue(0, w.day);
            q.bindValue(1, w.time);
            q.bindValue(2, w.sender);
            q.bindValue(3, w.recipient);
            q.bindValue(4, w.text);
        }
        return q;
    };
    const auto written = [](QSqlQuery& q) { return q.exec() && q.numRowsAffected() == 1; };
    qint64 lastId = 0;
    QSqlError error;
    bool ok = db.transaction();
    if (!ok)
        error = db.lastError();
    for (auto w = pending_.cbegin(); ok && w != pending_.cend(); ++w) {
        QSqlQuery& q = bound(*w);
        ok = written(q);
        if (!ok)
            error = q.lastError();
        else if (!w->offline)
            lastId = q.lastInsertId().toLongLong();
    }
    if (ok && !db.commit()) {
        error = db.lastError();
        ok = false;
    }
    std::size_t done = ok ? pending_.size() : 0;
    if (!ok) {
        db.rollback();
        // A row the database cannot take must not hold up the rows behind it: one at a time,
        // each committed alone, and a row at fault is set aside.
        const bool oneByOne = rowAtFault(error, postgres);
        for (; oneByOne && done < pending_.size(); ++done) {
            QSqlQuery& q = bound(pending_[done]);
            if (written(q)) {
                if (!pending_[done].offline)
                    lastId = q.lastInsertId().toLongLong();
                continue;
            }
            error = q.lastError();
            if (!rowAtFault(error, postgres))
                break;
            const PendingWrite& w = pending_[done];
            const bool kept = setAside(
                db, w.offline ? QStringLiteral("offline") : QStringLiteral("message"), error,
                w.offline ? QVariantList{w.recipient, w.text, w.created}
                          : QVariantList{w.day, w.time, w.sender, w.recipient, w.text});
            // Neither names nor text: the error's code says what was wrong.
            logLine(
                QStringLiteral("storage: a message %1 could not be written (error %2) and "
                               "is %3")
                    .arg(w.offline ? QStringLiteral("kept for an offline user")
                                   : QStringLiteral("of the day"),
                         error.nativeErrorCode(),
                         kept ? QStringLiteral("set aside in set_aside") : QStringLiteral("lost")));
        }
    }
    metrics::observeCommit(took.nsecsElapsed() / 1e9);
    storage_.raiseWatermark(lastId);
    pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(done));
    pendingBytes_ = 0;
    for (const PendingWrite& w : pending_)
        pendingBytes_ += bytesOf(w.recipient, w.text);
    if (done > 0)
        storage_.noteWritten();
    if (!pending_.empty()) {
        routing_.setLastError(error.isValid() ? error.text()
                                              : QStringLiteral("a row was not inserted"));
        routing_.noteFailure();
        failures_.reportFailure(what, routing_.lastError());
        return false;
    }
    failures_.reportRecovery(what);
    return true;
}

QList<OfflineMessage> OfflineQueue::batch(const QByteArray& recipient, qint64 afterId, int limit,
                                          bool* failed)
{
    QList<OfflineMessage> batch;
    flush();
    if (!routing_.usable()) {
        if (failed)
            *failed = true;
        return batch;
    }
    QSqlQuery q(routing_.db());
    q.prepare(QStringLiteral(
        "SELECT id, text FROM offline WHERE recipient = ? AND id > ? ORDER BY id LIMIT ?"));
    q.addBindValue(fromWire(recipient));
    q.addBindValue(afterId);
    q.addBindValue(limitValue(limit, routing_.postgres()));
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        routing_.noteFailure();
        if (failed)
            *failed = true;
        return batch;
    }
    while (q.next())
        batch.append({q.value(0).toLongLong(), toWire(q.value(1).toString())});
    return batch;
}

bool OfflineQueue::drop(const QByteArray& recipient, qint64 afterId, qint64 upToId)
{
    if (!routing_.usable())
        return false;
    QSqlQuery q(routing_.db());
    q.prepare(QStringLiteral("DELETE FROM offline WHERE recipient = ? AND id > ? AND id <= ?"));
    q.addBindValue(fromWire(recipient));
    q.addBindValue(afterId);
    q.addBindValue(upToId);
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        routing_.noteFailure();
        return false;
    }
    storage_.noteWritten();
    return true;
}

std::vector<SpilledRow> OfflineQueue::takeUnwritten()
{
    std::vector<SpilledRow> rows;
    rows.reserve(pending_.size());
    for (PendingWrite& w : pending_) {
        SpilledRow r;
        r.kind = w.offline ? SpilledRow::Kind::Offline : SpilledRow::Kind::DayRecord;
        r.day = std::move(w.day);
        r.time = std::move(w.time);
        r.sender = std::move(w.sender);
        r.recipient = std::move(w.recipient);
        (w.offline ? r.text : r.body) = std::move(w.text);
        r.created = std::move(w.created);
        rows.push_back(std::move(r));
    }
    pending_.clear();
    pendingBytes_ = 0;
    flushTimer_.stop();
    return rows;
}

} // namespace wispline::server
