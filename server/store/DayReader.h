#pragma once
// Reads the day's messages of a user for a download, on a thread and a database connection of
// its own, paced: a download of a million rows neither holds up the routing thread nor waits
// for the storage thread. It reads only what is committed, up to the watermark it is given.
#include "store/ServerStore.h"

#include <QByteArray>
#include <QDate>
#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace wispline::server
{

class DayReader : public QObject
{
    Q_OBJECT
public:
    // The pause after a full batch.
    static constexpr int kPauseMs = 2;

    explicit DayReader(const ServerStore& store, QObject* parent = nullptr);
    ~DayReader() override;

    struct Batch {
        QByteArray bytes; // the rows, each formatted
        int rows = 0;
        qint64 lastId = 0;
        bool failed = false; // the read failed: what came before it is all there is
    };
    // Up to limit messages of the user's day with row ids in (afterId, upToId], oldest first,
    // each formatted on the reader's thread; then(batch) follows on this object's thread.
    void read(const QDate& day, const QByteArray& user, qint64 afterId, qint64 upToId, int limit,
              std::function<QByteArray(const DayMessage&)> format,
              std::function<void(const Batch&)> then);

private:
    struct Request {
        QString day;
        QString user;
        qint64 afterId = 0;
        qint64 upToId = 0;
        int limit = 0;
        std::function<QByteArray(const DayMessage&)> format;
        std::function<void(const Batch&)> then;
    };
    void run();

    const ServerStore& store_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Request> requests_;
    bool stop_ = false;
};

} // namespace wispline::server
