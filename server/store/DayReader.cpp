#include "store/DayReader.h"

#include "base/ServerLog.h"
#include "base/ServerRules.h"
#include "store/StoreConnection.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <pthread.h>

#include <atomic>

namespace wispline::server
{

DayReader::DayReader(const ServerStore& store, QObject* parent) : QObject(parent), store_(store) {}

DayReader::~DayReader()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void DayReader::read(const QDate& day, const QByteArray& user, qint64 afterId, qint64 upToId,
                     int limit, std::function<QByteArray(const DayMessage&)> format,
                     std::function<void(const Batch&)> then)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({day.toString(Qt::ISODate), fromWire(user), afterId, upToId, limit,
                             std::move(format), std::move(then)});
        // The thread and its database connection are made for the first download: most
        // servers' users never ask for one.
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
    }
    wake_.notify_one();
}

void DayReader::run()
{
    // Named, so that top -H and the benchmark tell the threads apart.
    pthread_setname_np(pthread_self(), "day-reader");
    static std::atomic<int> counter{0}; // readers of several servers in one process
    const QString name = QStringLiteral("wispline-day-reader-%1").arg(++counter);
    {
        QSqlDatabase db = store_.addConnection(name);
        QSqlQuery q(db);
        // The day's rows from afterId on, in row id order by the day's index, until limit of
        // them are the user's: one download reads the day once, however it is cut.
        const auto prepare = [&] {
            q = QSqlQuery(db);
            return q.prepare(QStringLiteral(
                "SELECT id, time, sender, recipient, body FROM messages WHERE day = ? AND "
                "id > ? AND id <= ? AND (sender = ? OR recipient = ?) ORDER BY id LIMIT ?"));
        };
        bool prepared = db.open() && prepare();
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stop_ || !requests_.empty(); });
            if (stop_)
                break;
            Request r = std::move(requests_.front());
            requests_.pop_front();
            lock.unlock();
            Batch batch;
            const auto read = [&] {
                q.bindValue(0, r.day);
                q.bindValue(1, r.afterId);
                q.bindValue(2, r.upToId);
                q.bindValue(3, r.user);
                q.bindValue(4, r.user);
                q.bindValue(5, r.limit);
                return prepared && q.exec();
            };
            bool ok = read();
            // A connection lost since the last download (the database restarted) is opened
            // again once; a read that still fails ends the download, marked as failed.
            if (!ok && (!prepared || connectionLost(db, store_.isPostgres()))) {
                QString error;
                q.clear();
                prepared = reopenConnection(db, &error) && prepare();
                ok = read();
            }
            batch.failed = !ok;
            if (ok) {
                while (q.next()) {
                    const DayMessage m{q.value(0).toLongLong(), q.value(1).toString(),
                                       q.value(2).toString(), q.value(3).toString(),
                                       q.value(4).toString()};
                    batch.bytes += r.format(m);
                    batch.lastId = m.id;
                    ++batch.rows;
                }
                // Cut off part way (a connection lost while the rows came).
                batch.failed = q.lastError().type() != QSqlError::NoError;
            }
            q.finish();
            QMetaObject::invokeMethod(
                this, [batch = std::move(batch), then = std::move(r.then)] { then(batch); },
                Qt::QueuedConnection);
            lock.lock();
            // Downloads take at most a share of a core: the routing thread has the other.
            if (batch.rows == r.limit)
                wake_.wait_for(lock, std::chrono::milliseconds(kPauseMs), [this] { return stop_; });
        }
        lock.unlock();
        q.clear(); // a prepared statement is freed on its open connection
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

} // namespace wispline::server
