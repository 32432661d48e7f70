#pragma once
// The display texts kept for users who were offline, until they log on: nobody else holds such
// a message, so it is committed at once on the routing connection (it is rare next to
// deliveries to connected users, so nothing is lost by not batching it). A day's record that
// must survive with it, or finds no storage thread, is written in the same way. A write that
// fails is kept in memory and retried every second, never dropped; a row the database refuses
// for good is set aside. Reads and removals of a user's texts, by row id, as they are handed
// over.
#include "store/RoutingConnection.h"
#include "store/SpillFile.h"
#include "store/StorageThread.h"
#include "store/StoreFailures.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSqlQuery>
#include <QString>
#include <QTimer>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

namespace wispline::server
{

// A display text kept for an offline user, with its row id.
struct OfflineMessage {
    qint64 id = 0;
    QByteArray text;
};

class OfflineQueue
{
public:
    // A user back from a fortnight's leave in a busy organisation finds a few thousand messages;
    // 10,000 of the compose box's 1,000 characters take 10 MB, so the message bound is the one
    // people meet, and the byte bound holds longer texts (a future client's) to the same disk.
    static constexpr qint64 kDefaultMaxRows = 10000;
    static constexpr qint64 kDefaultMaxBytes = 10 * 1024 * 1024;

    OfflineQueue(RoutingConnection& routing, StorageThread& storage, StoreFailures& failures);
    // Prepares the inserts on the routing connection, once it is open.
    void prepare();

    // A day's message, written with the next commit of the queue.
    void addRecord(const QString& day, const QString& time, const QByteArray& sender,
                   const QByteArray& recipient, const QByteArray& body);
    // A display text kept until its recipient logs on, after the others waiting for them (row
    // ids are never reused). Committed at once unless commitNow is false.
    void add(const QString& created, const QByteArray& recipient, const QByteArray& displayText,
             bool commitNow);
    // Commits what waits now; while the store fails, leaves it to the retry timer.
    bool flushOffline();
    // Commits what waits kSliceRows at a time, the first now and the others in the next turns
    // of the event loop, so that a message to many offline users holds up the others' for a
    // few milliseconds at a time. False when the store fails (the retry timer takes over).
    static constexpr std::size_t kSliceRows = 256;
    bool flushSoon();
    // Commits what waits now (up to most rows), whatever failed before.
    bool flush(std::size_t most = std::numeric_limits<std::size_t>::max());
    // Rows handed over so far, and of those the ones written (or set aside), in order: a
    // caller that added rows knows they are in once committed() reaches added() as it was.
    quint64 added() const { return added_; }
    quint64 committed() const { return committed_; }
    // Calls then() once what was handed over so far is written (or set aside), or a write of
    // it failed: now when little waits, else after the slices that write it, so that a message
    // to many offline users is not written all at once for it.
    void whenDone(std::function<void()> then);
    // What waits is written now, not at the next try (the database answers again).
    void retryNow();

    // Up to limit texts kept for a user with row ids above afterId, oldest first. With failed,
    // a read that fails sets it rather than reading as no row.
    QList<OfflineMessage> batch(const QByteArray& recipient, qint64 afterId, int limit,
                                bool* failed);
    // A user's texts with row ids up to upToId, oldest first: after a batch read, the rows
    // committed late with lower ids (and those handed over and not removed yet, which the
    // caller knows).
    QList<OfflineMessage> upTo(const QByteArray& recipient, qint64 upToId, bool* failed);
    // Removes these rows of a user's kept texts.
    bool drop(const QByteArray& recipient, const QList<qint64>& ids);

    // The most one recipient's queue keeps, in messages and in bytes of text.
    void setBounds(qint64 rows, qint64 bytes);

    // What waits to be written, in rows and in bytes.
    qint64 waitingRows() const { return qint64(pending_.size()); }
    qint64 waitingBytes() const { return pendingBytes_; }
    // On the way out: what waits, taken out of memory for the spill file.
    std::vector<SpilledRow> takeUnwritten();

private:
    struct PendingWrite {
        bool offline = false;
        QString day;
        QString time;
        QString created;
        QString sender;
        QString recipient;
        QString text;
    };
    void unprepare();
    void scheduleFlush();
    // A text from the wire, converted once for all the recipients of a message: the arrays
    // handed over share their data, so the same one is known by where it is.
    const QString& text(const QByteArray& wire);
    struct Converted {
        QByteArray wire; // held, so that its data is not reused by another meanwhile
        QString text;
    };
    Converted converted_[2];
    // What a recipient's queue holds: counted in the database now and then, added to as rows go
    // in, so that a queue past a bound is cut back to it without a count per message.
    struct Tally {
        qint64 rows = 0;
        qint64 bytes = 0;
        qint64 countedAt = 0; // ms on clock_
    };
    // After a commit that added rows (and bytes) to these recipients' queues.
    void keepWithinBounds(const QHash<QString, std::pair<qint64, qint64>>& added);
    // Removes the oldest rows of a queue past a bound; false when the database failed.
    bool cutBack(const QString& recipient, Tally& tally);
    void noteDropped(const QString& recipient, qint64 rows);

    RoutingConnection& routing_;
    StorageThread& storage_;
    StoreFailures& failures_;
    std::vector<PendingWrite> pending_;
    qint64 pendingBytes_ = 0;
    QTimer flushTimer_;
    QTimer sliceTimer_;
    quint64 added_ = 0;
    quint64 committed_ = 0;
    quint64 failedUpTo_ = 0; // added() when a write last failed
    std::vector<std::pair<quint64, std::function<void()>>> doneWaiters_; // up to, then
    void serveDoneWaiters();
    std::unique_ptr<QSqlQuery> insertMessage_;
    std::unique_ptr<QSqlQuery> insertOffline_;
    qint64 maxRows_ = kDefaultMaxRows;
    qint64 maxBytes_ = kDefaultMaxBytes;
    QHash<QString, Tally> tallies_;
    struct DropLog {
        qint64 at = 0;       // ms on clock_ of the last line
        qint64 unlogged = 0; // rows dropped since
    };
    QHash<QString, DropLog> dropLogs_;
    QElapsedTimer clock_;
};

} // namespace wispline::server
