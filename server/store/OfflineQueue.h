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
#include <QList>
#include <QSqlQuery>
#include <QString>
#include <QTimer>
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
    // Commits what waits now, whatever failed before.
    bool flush();
    // What waits is written now, not at the next try (the database answers again).
    void retryNow();

    // Up to limit texts kept for a user with row ids above afterId, oldest first. With failed,
    // a read that fails sets it rather than reading as no row.
    QList<OfflineMessage> batch(const QByteArray& recipient, qint64 afterId, int limit,
                                bool* failed);
    // Removes a user's kept texts with row ids in (afterId, upToId].
    bool drop(const QByteArray& recipient, qint64 afterId, qint64 upToId);

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

    RoutingConnection& routing_;
    StorageThread& storage_;
    StoreFailures& failures_;
    std::vector<PendingWrite> pending_;
    qint64 pendingBytes_ = 0;
    QTimer flushTimer_;
    std::unique_ptr<QSqlQuery> insertMessage_;
    std::unique_ptr<QSqlQuery> insertOffline_;
};

} // namespace wispline::server
