#pragma once
// The free space on the file system of a SQLite database, looked at once a second at most.
// Below the floor the server takes no messages (their senders wait, not read), so messages never
// fill the disk: what was accepted before, the write-ahead log's checkpoints and the system's
// own logs keep room. It takes messages again by itself once there is room. A PostgreSQL
// database is on another machine: never low here.
#include <QElapsedTimer>
#include <QString>

namespace wispline::server
{

class DiskSpace
{
public:
    // More than the server may hold in memory to write (64 MB) and a write-ahead log cut back
    // to its limit (64 MB), with room for the system's logs; small next to today's disks.
    static constexpr qint64 kDefaultFloorMb = 512;

    // The database file; empty for none (PostgreSQL).
    void setFile(const QString& file);
    // 0: no floor.
    void setFloor(qint64 bytes) { floor_ = bytes; }
    qint64 floor() const { return floor_; }
    // True while the free space is below the floor; logs when that starts and ends.
    bool low();
    // Free bytes when last looked at; -1 before, or without a file.
    qint64 freeBytes() const { return free_; }

private:
    QString folder_;
    qint64 floor_ = kDefaultFloorMb * 1024 * 1024;
    qint64 free_ = -1;
    bool low_ = false;
    QElapsedTimer checked_;
};

} // namespace wispline::server
