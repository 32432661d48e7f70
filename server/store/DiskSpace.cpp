#include "store/DiskSpace.h"

#include "base/ServerLog.h"

#include <QFile>
#include <QFileInfo>
#include <sys/statvfs.h>

namespace wispline::server
{
namespace
{
constexpr qint64 kCheckMs = 1000;
constexpr qint64 kMb = 1024 * 1024;
} // namespace

void DiskSpace::setFile(const QString& file)
{
    folder_ = file.isEmpty() ? QString() : QFileInfo(file).absolutePath();
    checked_.invalidate();
}

bool DiskSpace::low()
{
    if (folder_.isEmpty() || floor_ <= 0)
        return false;
    if (checked_.isValid() && checked_.elapsed() < kCheckMs)
        return low_;
    checked_.start();
    struct statvfs fs {
    };
    // A file system that cannot be asked is no reason to stop: the writes tell.
    if (::statvfs(QFile::encodeName(folder_).constData(), &fs) != 0)
        return low_ = false;
    free_ = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    const bool low = free_ < floor_;
    if (low != low_)
        logLine(low ? QStringLiteral("disk: %1 MB free for the database, below the floor of %2 "
                                     "MB: no messages taken until there is room")
                          .arg(free_ / kMb)
                          .arg(floor_ / kMb)
                    : QStringLiteral("disk: %1 MB free for the database: messages taken again")
                          .arg(free_ / kMb));
    return low_ = low;
}

} // namespace wispline::server
