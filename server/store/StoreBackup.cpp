#include "store/StoreBackup.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wispline::server
{
namespace
{

// A new empty file, owner only; false when it exists or cannot be made.
bool createEmpty(const QString& path, QString* error)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd < 0) {
        *error = QStringLiteral("cannot create %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    ::close(fd);
    return true;
}

} // namespace

bool createPrivately(const QString& file, QString* error)
{
    const QFileInfo info(file);
    const QString folder = info.absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            *error = QStringLiteral("cannot create the folder %1").arg(folder);
            return false;
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // Created here rather than by SQLite, which would follow the umask; its journal files
    // take the file's own mode.
    return info.exists() || createEmpty(info.absoluteFilePath(), error);
}

bool backUpSqlite(const QString& file, const QString& target, QString* error)
{
    if (!QFileInfo::exists(file)) {
        *error = QStringLiteral("no database %1").arg(file);
        return false;
    }
    if (!createEmpty(target, error))
        return false;
    const QString name = QStringLiteral("backup");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        // The server's writes are short: waiting for one beats failing the copy.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=30000"));
        QSqlQuery q(db);
        ok = db.open() && q.prepare(QStringLiteral("VACUUM INTO ?"));
        if (ok) {
            q.addBindValue(QFileInfo(target).absoluteFilePath());
            ok = q.exec();
        }
        if (!ok)
            *error = q.lastError().isValid() ? q.lastError().text() : db.lastError().text();
    }
    QSqlDatabase::removeDatabase(name);
    if (!ok)
        QFile::remove(target);
    return ok;
}

} // namespace wispline::server
