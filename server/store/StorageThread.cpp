#include "store/StorageThread.h"
#include "store/Schema.h"
#include "store/SqliteInsert.h"
#include "store/StoreConnection.h"
#include "store/WalWrites.h"

#include "base/ServerLog.h"
#include "base/ServerMetrics.h"
#include "base/ServerRules.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <pthread.h>
#include <sqlite3.h>

#include <algorithm>

namespace wispline::server
{
namespace
{

constexpr int kCheckpointMs = 10000;
// A checkpoint also runs once the write-ahead log holds this many frames (about 4 MB), so the
// log is written over again early instead of growing, each new page of the file zeroed by the
// kernel, for ten seconds; and a checkpoint's pause between two commits stays short.
constexpr int kCheckpointFrames = 1000;
// A committed batch's room is kept for the next up to this many records (about 120 KB): a
// second's worth at 50,000 deliveries a second in 20 ms batches, not the backlog of an outage.
constexpr std::size_t kKeptRoom = 1024;

// Bound by name: Qt makes up a name for each value bound by position, every time.
QString insertSql()
{
    return QStringLiteral("INSERT INTO messages(day, time, sender, recipient, body) "
                          "VALUES(:day, :time, :sender, :recipient, :body)");
}

// What a record holds, near enough, counted without converting anything.
qint64 bytesOf(const QByteArray& a, const QByteArray& b)
{
    return 64 + a.size() + b.size();
}

} // namespace

StorageThread::StorageThread(const StoreLocation& where, StoreFailures& failures)
    : where_(where), failures_(failures)
{
}

StorageThread::~StorageThread()
{
    stop();
}

void StorageThread::whenReachedAgain(std::function<void(const QString&)> then)
{
    reachedAgain_ = std::move(then);
}

void StorageThread::readWatermark(QSqlDatabase& db)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("SELECT MAX(id) FROM messages")) && q.next())
        watermark_ = q.value(0).toLongLong();
}

void StorageThread::start()
{
    installWalWrites(); // before the thread opens its connection
    running_ = true;
    thread_ = std::thread([this] { run(); });
}

void StorageThread::lost()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        reachable_ = false;
    }
    wake_.notify_all();
}

bool StorageThread::record(const QString& day, const QString& time, const QByteArray& sender,
                           const QByteArray& recipient, const QByteArray& body)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!running_)
        return false;
    const bool first = records_.empty();
    recordBytes_ += bytesOf(recipient, body);
    records_.push_back({day, time, sender, recipient, body});
    ++recorded_;
    if (first) {
        firstAt_ = std::chrono::steady_clock::now();
        wake_.notify_one();
    }
    return true;
}

qint64 StorageThread::uncommittedRows()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return qint64(recorded_ - committed_);
}

void StorageThread::run()
{
    // Named, so that top -H and the benchmark tell the threads apart.
    pthread_setname_np(pthread_self(), "storage");
    const QString name = where_.name() + QStringLiteral("-storage");
    {
        int logFrames = 0; // in the write-ahead log after the last commit, as SQLite counts them
        const bool postgres = where_.postgres();
        QSqlDatabase db = where_.addConnection(name);
        const bool opened = db.open() && (postgres || applyPragmas(db));
        QSqlQuery insert(db);
        insert.prepare(insertSql());
        SqliteInsert direct;
        // SQLite's own statements, the log's writes gathered for each commit's sync, and the
        // log's size watched: on the first connection and on each one reopened after a loss.
        const auto prepareDirect = [&] {
            if (!direct.prepare(db))
                return;
            gatherWalWrites(direct.handle());
            sqlite3_wal_hook(
                direct.handle(),
                [](void* frames, sqlite3*, const char*, int n) {
                    *static_cast<int*>(frames) = n;
                    return SQLITE_OK;
                },
                &logFrames);
        };
        if (opened && !postgres)
            prepareDirect();
        using Clock = std::chrono::steady_clock;
        auto nextCheckpoint = Clock::now() + std::chrono::milliseconds(kCheckpointMs);
        // PostgreSQL checkpoints itself. Called without the lock.
        const auto checkpoint = [&] {
            nextCheckpoint = Clock::now() + std::chrono::milliseconds(kCheckpointMs);
            if (!written_.exchange(false))
                return;
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)")))
                written_ = true; // tried again next time
        };
        // The next checkpoint by size at this many frames; a log that a reader keeps from being
        // written over again grows on, and is checkpointed each kCheckpointFrames, not each commit.
        int checkpointAt = kCheckpointFrames;
        bool lastFailed = false;
        Backoff backoff;
        std::unique_lock<std::mutex> lock(mutex_);
        if (!opened) {
            error_ = db.lastError().text();
            running_ = false; // records stay on the routing connection
        }
        while (running_) {
            wake_.wait_until(lock, nextCheckpoint, [this] {
                return stop_ || flushWanted_ || !records_.empty() || !reachable_;
            });
            if (!reachable_ && !stop_) {
                // A connection was lost: this thread reaches the database again, with pauses
                // growing to a few seconds, and the routing thread reopens its own only then.
                lock.unlock();
                QString error;
                bool up = !connectionLost(db, postgres);
                if (!up) {
                    insert.clear();
                    direct.clear();
                    up = reopenConnection(db, &error);
                    insert = QSqlQuery(db);
                    if (up) {
                        insert.prepare(insertSql());
                        if (!postgres)
                            prepareDirect();
                    }
                }
                lock.lock();
                const QString what = QStringLiteral("reaching the database");
                if (up) {
                    reachable_ = true;
                    backoff.reset();
                    QMetaObject::invokeMethod(
                        &home_,
                        [this, what] {
                            if (reachedAgain_)
                                reachedAgain_(what);
                        },
                        Qt::QueuedConnection);
                    continue;
                }
                QMetaObject::invokeMethod(
                    &home_, [this, what, error] { failures_.reportFailure(what, error); },
                    Qt::QueuedConnection);
                if (flushWanted_) {
                    failedUpTo_ = recorded_; // a flush does not wait for the database's return
                    error_ = error;
                    done_.notify_all();
                }
                wake_.wait_for(lock, std::chrono::milliseconds(backoff.next()),
                               [this] { return stop_ || flushWanted_; });
                continue;
            }
            if (!records_.empty()) {
                // A batch gathers for the commit delay, unless someone waits for it.
                wake_.wait_until(lock, firstAt_ + std::chrono::milliseconds(commitDelayMs_.load()),
                                 [this] { return stop_ || flushWanted_ || hurry_; });
                hurry_ = false;
                // The records go on into the last batch's room, grown to its size already.
                std::vector<Record> batch = std::move(spare_);
                batch.swap(records_);
                const quint64 upTo = recorded_;
                lock.unlock();
                QString error;
                qint64 batchBytes = 0;
                for (const Record& r : batch)
                    batchBytes += bytesOf(r.recipient, r.body);
                const bool ok = commitRecords(db, insert, direct, batch, &error);
                const bool lost = !ok && connectionLost(db, postgres);
                lock.lock();
                for (const Record& r : batch)
                    batchBytes -= bytesOf(r.recipient, r.body); // what was written
                recordBytes_ -= batchBytes;
                if (lost)
                    reachable_ = false;
                if (ok) {
                    if (batch.capacity() <= kKeptRoom)
                        spare_ = std::move(batch); // emptied
                    committed_ = upTo;
                    written_ = true;
                    raiseWatermark(direct.ready() ? direct.lastInsertId()
                                                  : insert.lastInsertId().toLongLong());
                } else {
                    // Kept, ahead of what came meanwhile, and tried again after a pause.
                    batch.insert(batch.end(), std::make_move_iterator(records_.begin()),
                                 std::make_move_iterator(records_.end()));
                    records_.swap(batch);
                    failedUpTo_ = upTo;
                    error_ = error;
                }
                // Reported on the routing thread, which alone logs.
                if (!ok || lastFailed)
                    QMetaObject::invokeMethod(
                        &home_,
                        [this, ok, error] {
                            if (ok)
                                failures_.reportRecovery(
                                    QStringLiteral("saving delivered messages"));
                            else
                                failures_.reportFailure(QStringLiteral("saving delivered messages"),
                                                        error);
                        },
                        Qt::QueuedConnection);
                lastFailed = !ok;
                done_.notify_all();
                if (!waiters_.empty())
                    QMetaObject::invokeMethod(
                        &home_, [this] { serveWaiters(); }, Qt::QueuedConnection);
                if (!ok && !lost && !stop_)
                    wake_.wait_for(lock, std::chrono::milliseconds(kRetryMs),
                                   [this] { return stop_; });
                if (!ok && stop_)
                    break; // the shutdown does not wait on a database that refuses
                if (ok && logFrames < checkpointAt - kCheckpointFrames)
                    checkpointAt = kCheckpointFrames; // the log was started over
                if (ok && logFrames >= checkpointAt && !stop_) {
                    checkpointAt = logFrames + kCheckpointFrames;
                    lock.unlock();
                    checkpoint();
                    lock.lock();
                }
                continue;
            }
            if (stop_)
                break;
            if (flushWanted_) {
                committed_ = recorded_; // nothing waits
                done_.notify_all();
                wake_.wait(lock, [this] { return stop_ || !flushWanted_ || !records_.empty(); });
                continue;
            }
            if (!postgres && Clock::now() >= nextCheckpoint) {
                lock.unlock();
                checkpoint();
                lock.lock();
            }
        }
        running_ = false;
        done_.notify_all();
        lock.unlock();
        insert.clear(); // a prepared statement is freed on its open connection
        direct.clear();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

bool StorageThread::commitRecords(QSqlDatabase& db, QSqlQuery& insert, SqliteInsert& direct,
                                  std::vector<Record>& records, QString* error)
{
    QElapsedTimer took;
    took.start();
    const bool postgres = where_.postgres();
    static const QString day = QStringLiteral(":day");
    static const QString time = QStringLiteral(":time");
    static const QString sender = QStringLiteral(":sender");
    static const QString recipient = QStringLiteral(":recipient");
    static const QString body = QStringLiteral(":body");
    const auto written = [&insert, &direct](const Record& r) {
        if (direct.ready())
            return direct.insert(r);
        insert.bindValue(day, r.day);
        insert.bindValue(time, r.time);
        insert.bindValue(sender, fromWire(r.sender));
        insert.bindValue(recipient, fromWire(r.recipient));
        insert.bindValue(body, fromWire(r.body));
        return insert.exec();
    };
    QSqlError failure;
    bool ok = db.transaction();
    if (!ok)
        failure = db.lastError();
    if (ok && direct.ready()) {
        // Many rows a statement.
        ok = direct.insert(records.data(), records.size());
        if (!ok)
            failure = direct.lastError();
    } else {
        for (auto r = records.cbegin(); ok && r != records.cend(); ++r) {
            ok = written(*r);
            if (!ok)
                failure = insert.lastError();
        }
    }
    if (ok && !db.commit()) {
        failure = db.lastError();
        ok = false;
    }
    if (ok) {
        records.clear();
        metrics::observeCommit(took.nsecsElapsed() / 1e9);
        return true;
    }
    db.rollback();
    *error = failure.text();
    if (!rowAtFault(failure, postgres))
        return false;
    // A row the database cannot take must not hold up the rows behind it: one at a time, and a
    // row at fault is set aside.
    std::size_t done = 0;
    int setAsideRows = 0;
    int lost = 0;
    QString codes;
    for (; done < records.size(); ++done) {
        const Record& r = records[done];
        if (written(r))
            continue;
        failure = direct.ready() ? direct.lastError() : insert.lastError();
        if (!rowAtFault(failure, postgres))
            break;
        ++(setAside(db, QStringLiteral("message"), failure,
                    {r.day, r.time, r.sender, r.recipient, r.body})
               ? setAsideRows
               : lost);
        codes = failure.nativeErrorCode();
    }
    records.erase(records.begin(), records.begin() + std::ptrdiff_t(done));
    if (setAsideRows + lost > 0)
        // Neither names nor text in the log: the error's code says what was wrong.
        QMetaObject::invokeMethod(
            &home_,
            [setAsideRows, lost, codes] {
                logLine(QStringLiteral("storage: %1 delivered message(s) could not be saved "
                                       "(error %2): %3 set aside in set_aside, %4 lost")
                            .arg(setAsideRows + lost)
                            .arg(codes)
                            .arg(setAsideRows)
                            .arg(lost));
            },
            Qt::QueuedConnection);
    if (!records.empty()) {
        *error = failure.text();
        return false;
    }
    metrics::observeCommit(took.nsecsElapsed() / 1e9);
    return true;
}

void StorageThread::stop()
{
    if (!thread_.joinable())
        return;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::vector<SpilledRow> StorageThread::takeUnwritten()
{
    stop();
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<SpilledRow> rows;
    rows.reserve(records_.size());
    for (const Record& r : records_) {
        SpilledRow row;
        row.kind = SpilledRow::Kind::DayRecord;
        row.day = r.day;
        row.time = r.time;
        row.sender = fromWire(r.sender);
        row.recipient = fromWire(r.recipient);
        row.body = fromWire(r.body);
        rows.push_back(std::move(row));
    }
    records_.clear();
    recordBytes_ = 0;
    committed_ = recorded_; // nothing waits here any more
    return rows;
}

bool StorageThread::flush(QString* error)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_ || committed_ >= recorded_)
        return true;
    const quint64 upTo = recorded_;
    flushWanted_ = true;
    wake_.notify_all();
    done_.wait(lock, [&] { return !running_ || committed_ >= upTo || failedUpTo_ >= upTo; });
    flushWanted_ = false;
    wake_.notify_all();
    if (committed_ < upTo) {
        *error = error_;
        return false;
    }
    return true;
}

void StorageThread::raiseWatermark(qint64 id)
{
    qint64 seen = watermark_.load();
    while (id > seen && !watermark_.compare_exchange_weak(seen, id)) {
    }
}

void StorageThread::whenCommitted(std::function<void(qint64)> then)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (running_ && committed_ < recorded_) {
            waiters_.push_back({recorded_, std::move(then)});
            hurry_ = true;
            wake_.notify_all();
            return;
        }
    }
    then(watermark_.load());
}

void StorageThread::serveWaiters()
{
    std::vector<Waiter> ready;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        auto done = [this](const Waiter& w) {
            return !running_ || committed_ >= w.upTo || failedUpTo_ >= w.upTo;
        };
        for (auto it = waiters_.begin(); it != waiters_.end();) {
            if (done(*it)) {
                ready.push_back(std::move(*it));
                it = waiters_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Waiter& w : ready)
        w.then(watermark_.load());
}

} // namespace wispline::server
