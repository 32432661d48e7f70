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
    clock_.start();
    sliceTimer_.setSingleShot(true);
    QObject::connect(&sliceTimer_, &QTimer::timeout, &sliceTimer_, [this] { flushSoon(); });
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

const QString& OfflineQueue::text(const QByteArray& wire)
{
    // Alternately the body and the display text of one message, once per recipient.
    Converted& slot = converted_[wire.constData() == converted_[1].wire.constData() ? 1 : 0];
    if (slot.wire.constData() != wire.constData() || slot.wire.size() != wire.size()) {
        std::swap(converted_[0], converted_[1]);
        converted_[0] = {wire, fromWire(wire)};
        return converted_[0].text;
    }
    return slot.text;
}

void OfflineQueue::addRecord(const QString& day, const QString& time, const QByteArray& sender,
                             const QByteArray& recipient, const QByteArray& body)
{
    PendingWrite w;
    w.day = day;
    w.time = time;
    w.sender = fromWire(sender);
    w.recipient = fromWire(recipient);
    w.text = text(body);
    pendingBytes_ += bytesOf(w.recipient, w.text);
    pending_.push_back(std::move(w));
    ++added_;
    scheduleFlush();
}

void OfflineQueue::add(const QString& created, const QByteArray& recipient,
                       const QByteArray& displayText, bool commitNow)
{
    PendingWrite w;
    w.offline = true;
    w.created = created;
    w.recipient = fromWire(recipient);
    w.text = text(displayText);
    pendingBytes_ += bytesOf(w.recipient, w.text);
    pending_.push_back(std::move(w));
    ++added_;
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

bool OfflineQueue::flushSoon()
{
    if (failures_.failing()) {
        scheduleFlush();
        return false;
    }
    if (!flush(kSliceRows)) {
        scheduleFlush();
        return false;
    }
    if (!pending_.empty() && !sliceTimer_.isActive())
        sliceTimer_.start(0);
    return true;
}

void OfflineQueue::whenDone(std::function<void()> then)
{
    // Little waits, or the store fails: written now if it can be, as a single commit.
    if (pending_.size() <= kSliceRows || failures_.failing()) {
        flush();
        then();
        return;
    }
    doneWaiters_.emplace_back(added_, std::move(then));
    flushSoon();
}

void OfflineQueue::serveDoneWaiters()
{
    // A write that failed lets those waiting for it go on, as the storage thread's waiters do:
    // what they then read fails too, and says so, rather than waiting for the store unseen.
    std::vector<std::function<void()>> ready;
    for (auto it = doneWaiters_.begin(); it != doneWaiters_.end();) {
        if (it->first <= std::max(committed_, failedUpTo_)) {
            ready.push_back(std::move(it->second));
            it = doneWaiters_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& then : ready)
        then();
}

bool OfflineQueue::flush(std::size_t most)
{
    if (pending_.empty())
        return true;
    QElapsedTimer took;
    took.start();
    const QString what = QStringLiteral("saving offline messages");
    if (!routing_.usable()) {
        failures_.reportFailure(what, routing_.lastError());
        failedUpTo_ = added_;
        if (!doneWaiters_.empty())
            QTimer::singleShot(0, &sliceTimer_, [this] { serveDoneWaiters(); });
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
    // Rows and bytes that went into each recipient's queue.
    QHash<QString, std::pair<qint64, qint64>> added;
    const auto tally = [&added](const PendingWrite& w) {
        if (!w.offline)
            return;
        auto& [rows, bytes] = added[w.recipient];
        ++rows;
        bytes += w.text.size();
    };
    const std::size_t count = std::min(most, pending_.size());
    const auto end = pending_.cbegin() + std::ptrdiff_t(count);
    QSqlError error;
    bool ok = db.transaction();
    if (!ok)
        error = db.lastError();
    for (auto w = pending_.cbegin(); ok && w != end; ++w) {
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
    std::size_t done = ok ? count : 0;
    for (std::size_t i = 0; i < done; ++i)
        tally(pending_[i]);
    if (!ok) {
        db.rollback();
        // A row the database cannot take must not hold up the rows behind it: one at a time,
        // each committed alone, and a row at fault is set aside.
        const bool oneByOne = rowAtFault(error, postgres);
        for (; oneByOne && done < count; ++done) {
            QSqlQuery& q = bound(pending_[done]);
            if (written(q)) {
                if (!pending_[done].offline)
                    lastId = q.lastInsertId().toLongLong();
                tally(pending_[done]);
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
    committed_ += done;
    if (done < count)
        failedUpTo_ = added_;
    if (!doneWaiters_.empty())
        QTimer::singleShot(0, &sliceTimer_, [this] { serveDoneWaiters(); });
    pendingBytes_ = 0;
    for (const PendingWrite& w : pending_)
        pendingBytes_ += bytesOf(w.recipient, w.text);
    if (done > 0)
        storage_.noteWritten();
    if (!added.isEmpty())
        keepWithinBounds(added);
    if (done < count) {
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

QList<OfflineMessage> OfflineQueue::upTo(const QByteArray& recipient, qint64 upToId, bool* failed)
{
    QList<OfflineMessage> rows;
    if (!routing_.usable()) {
        *failed = true;
        return rows;
    }
    QSqlQuery q(routing_.db());
    q.prepare(
        QStringLiteral("SELECT id, text FROM offline WHERE recipient = ? AND id <= ? ORDER BY id"));
    q.addBindValue(fromWire(recipient));
    q.addBindValue(upToId);
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        routing_.noteFailure();
        *failed = true;
        return rows;
    }
    while (q.next())
        rows.append({q.value(0).toLongLong(), toWire(q.value(1).toString())});
    return rows;
}

namespace
{
// DELETE ... WHERE id IN (a list): a few hundred ids per statement.
constexpr qsizetype kIdsPerStatement = 500;

QString idList(const QList<qint64>& ids)
{
    QString list;
    for (const qint64 id : ids)
        list += (list.isEmpty() ? QString() : QStringLiteral(",")) + QString::number(id);
    return list;
}
} // namespace

bool OfflineQueue::drop(const QByteArray& recipient, const QList<qint64>& ids)
{
    if (ids.isEmpty())
        return true;
    if (!routing_.usable())
        return false;
    QSqlQuery q(routing_.db());
    for (qsizetype at = 0; at < ids.size(); at += kIdsPerStatement) {
        q.prepare(QStringLiteral("DELETE FROM offline WHERE recipient = ? AND id IN (%1)")
                      .arg(idList(ids.mid(at, kIdsPerStatement))));
        q.addBindValue(fromWire(recipient));
        if (!q.exec()) {
            routing_.setLastError(q.lastError().text());
            routing_.noteFailure();
            return false;
        }
    }
    storage_.noteWritten();
    // Counted again at the next row for the recipient.
    tallies_.remove(fromWire(recipient));
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
    committed_ += pending_.size(); // in the spill file: nobody waits for them any more
    pending_.clear();
    pendingBytes_ = 0;
    flushTimer_.stop();
    sliceTimer_.stop();
    return rows;
}

void OfflineQueue::setBounds(qint64 rows, qint64 bytes)
{
    maxRows_ = rows;
    maxBytes_ = bytes;
}

void OfflineQueue::keepWithinBounds(const QHash<QString, std::pair<qint64, qint64>>& added)
{
    // Another node adds to the same queues: a tally is counted again after this long.
    constexpr qint64 kRecountMs = 60000;
    const qint64 now = clock_.elapsed();
    for (auto it = added.cbegin(); it != added.cend(); ++it) {
        auto tally = tallies_.find(it.key());
        if (tally != tallies_.end() && now - tally->countedAt < kRecountMs) {
            tally->rows += it->first;
            tally->bytes += it->second;
        } else {
            // Counted after the commit: the rows just added are in the count.
            QSqlQuery q(routing_.db());
            q.prepare(QStringLiteral("SELECT count(*), coalesce(sum(length(text)), 0) FROM "
                                     "offline WHERE recipient = ?"));
            q.addBindValue(it.key());
            if (!q.exec() || !q.next()) {
                tallies_.remove(it.key()); // counted at the next row
                continue;
            }
            tally =
                tallies_.insert(it.key(), {q.value(0).toLongLong(), q.value(1).toLongLong(), now});
        }
        if ((tally->rows > maxRows_ || tally->bytes > maxBytes_) && !cutBack(it.key(), *tally))
            tallies_.remove(it.key());
    }
}

bool OfflineQueue::cutBack(const QString& recipient, Tally& tally)
{
    // The oldest rows, a page at a time, until what is left is within both bounds; removed by
    // the ids read.
    QList<qint64> ids;
    qint64 rows = tally.rows;
    qint64 bytes = tally.bytes;
    qint64 after = 0;
    QSqlQuery q(routing_.db());
    while (rows > maxRows_ || bytes > maxBytes_) {
        q.prepare(QStringLiteral("SELECT id, length(text) FROM offline WHERE recipient = ? AND "
                                 "id > ? ORDER BY id LIMIT ?"));
        q.addBindValue(recipient);
        q.addBindValue(after);
        q.addBindValue(std::max<qint64>(rows - maxRows_, 0) + 16);
        if (!q.exec())
            return false;
        bool any = false;
        while ((rows > maxRows_ || bytes > maxBytes_) && q.next()) {
            any = true;
            after = q.value(0).toLongLong();
            ids.append(after);
            --rows;
            bytes -= q.value(1).toLongLong();
        }
        q.finish();
        if (!any)
            break; // fewer than counted: the tally was ahead of the table
    }
    for (qsizetype at = 0; at < ids.size(); at += kIdsPerStatement) {
        q.prepare(QStringLiteral("DELETE FROM offline WHERE id IN (%1)")
                      .arg(idList(ids.mid(at, kIdsPerStatement))));
        if (!q.exec())
            return false;
    }
    tally.rows = std::max<qint64>(rows, 0);
    tally.bytes = std::max<qint64>(bytes, 0);
    if (!ids.isEmpty())
        noteDropped(recipient, ids.size());
    return true;
}

void OfflineQueue::noteDropped(const QString& recipient, qint64 rows)
{
    constexpr qint64 kLogEveryMs = 3600 * 1000;
    metrics::count(metrics::Counter::OfflineDropped, quint64(rows));
    const qint64 now = clock_.elapsed();
    DropLog& log = dropLogs_[recipient];
    log.unlogged += rows;
    if (log.at != 0 && now - log.at < kLogEveryMs)
        return;
    // The recipient is an account: its name may be logged.
    logLine(QStringLiteral("offline queue of %1 past its bound (%2 messages, %3 KB): %4 oldest "
                           "message(s) dropped%5")
                .arg(recipient)
                .arg(maxRows_)
                .arg(maxBytes_ / 1024)
                .arg(log.unlogged)
                .arg(log.at != 0 ? QStringLiteral(" in the last hour") : QString()));
    log.at = std::max<qint64>(now, 1);
    log.unlogged = 0;
}

} // namespace wispline::server
