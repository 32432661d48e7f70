#pragma once
// The storage thread: commits delivered messages on its own connection, gathered for the commit
// delay (under load one transaction carries hundreds of messages), and runs the WAL checkpoints
// and their disk syncs; WAL lets both go on beside the routing connection, so neither ever holds
// up routing. A batch that fails is kept, ahead of what came meanwhile, and tried again; a row
// the database refuses for good is set aside. A lost connection is reached again here first,
// with pauses growing to 5 s. It keeps the watermark (the highest message row id committed) and
// calls back whoever waits for a commit; failures are reported on the routing thread.
#include "store/RoutingConnection.h"
#include "store/SpillFile.h"
#include "store/SqliteInsert.h"
#include "store/StoreAddress.h"
#include "store/StoreFailures.h"

#include <QByteArray>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class QSqlQuery;

namespace wispline::server
{

class StorageThread : public RoutingConnection::Reach
{
public:
    // How long delivered messages may wait to be committed together, by default.
    static constexpr int kDefaultCommitDelayMs = 20;
    // Writes that fail (the file is locked by an admin command, the disk is full) are kept and
    // tried again after this long, never given up.
    static constexpr int kRetryMs = 1000;

    StorageThread(const StoreLocation& where, StoreFailures& failures);
    ~StorageThread();
    // Called on the routing thread, with the kind of work that failed, once the database
    // answers again after a lost connection.
    void whenReachedAgain(std::function<void(const QString& what)> then);
    // Takes the watermark from the messages already in the database, before start().
    void readWatermark(QSqlDatabase& db);
    void start();
    void stop();
    // After stop(): the records not committed, taken out of memory for the spill file.
    std::vector<SpilledRow> takeUnwritten();

    // Hands a delivered message over; false when the thread does not run (its caller writes
    // the message itself).
    bool record(const QString& day, const QString& time, const QByteArray& sender,
                const QByteArray& recipient, const QByteArray& body);
    // Waits until what was handed over so far is committed; false with the reason when the
    // commit failed.
    bool flush(QString* error);
    // Calls then(watermark) on the routing thread once what was handed over so far is
    // committed, without waiting for it.
    void whenCommitted(std::function<void(qint64)> then);
    // Message rows committed elsewhere (the routing connection) count too.
    void raiseWatermark(qint64 id);
    // Something was committed since the last checkpoint: the next one runs.
    void noteWritten() { written_ = true; }

    int commitDelayMs() const { return commitDelayMs_.load(); }
    void setCommitDelay(int ms) { commitDelayMs_ = ms; }
    // What was handed over and is not committed yet, in rows and in bytes.
    qint64 uncommittedRows();
    qint64 uncommittedBytes() const { return recordBytes_.load(); }

    bool reached() const override { return reachable_.load(); }
    void lost() override;

private:
    using Record = DeliveredRow;
    struct Waiter {
        quint64 upTo = 0;
        std::function<void(qint64)> then;
    };
    void run();
    // Commits a batch; a batch refused for a row's fault is written row by row, and the rows
    // that cannot be written are set aside. What is left in records failed.
    // On SQLite the rows go in through direct (when it is ready), else through insert.
    bool commitRecords(QSqlDatabase& db, QSqlQuery& insert, SqliteInsert& direct,
                       std::vector<Record>& records, QString* error);
    void serveWaiters();

    const StoreLocation& where_;
    StoreFailures& failures_;
    std::function<void(const QString&)> reachedAgain_;
    QObject home_; // on the routing thread: what the thread reports is queued to it
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;       // records, a flush or the stop for the thread
    std::condition_variable done_;       // a commit tried, for flush()
    std::atomic<bool> reachable_{true};  // the thread's connection works
    std::atomic<qint64> recordBytes_{0}; // of records_ and the batch being committed
    std::atomic<int> commitDelayMs_{kDefaultCommitDelayMs};
    std::vector<Record> records_; // waiting for the thread
    // When records_ got its first: the batch commits the delay after it, not after the thread
    // came round to it (which a slow commit before it would add).
    std::chrono::steady_clock::time_point firstAt_;
    std::vector<Record> spare_; // the thread's: a committed batch, emptied, its room kept
    quint64 recorded_ = 0;      // records handed over so far
    quint64 committed_ = 0;     // of those, committed
    quint64 failedUpTo_ = 0;    // the last commit that failed covered these
    QString error_;
    bool running_ = false;
    bool flushWanted_ = false;
    bool stop_ = false;
    bool hurry_ = false;          // someone waits for the next commit: no commit delay
    std::vector<Waiter> waiters_; // on the routing thread, for whenCommitted()
    std::atomic<qint64> watermark_{0};
    std::atomic<bool> written_{false}; // committed since the last checkpoint
};

} // namespace wispline::server
