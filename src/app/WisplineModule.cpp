#include "app/WisplineModule.h"

#include "app/Seams.h"
#include "app/SessionState.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QTemporaryFile>
#include <exception>

namespace wispline
{

QString messageLogFileName(const QDate& day)
{
    return QStringLiteral("M") + day.toString(QStringLiteral("ddMMyyyy")) + QStringLiteral(".Msg");
}

static bool folderIsWritable(const QString& folder)
{
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return false;
    // Probe with a real file: permission bits alone do not tell about read-only mounts.
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".wispline-probe-XXXXXX")));
    return probe.open();
}

QString messageLogPath(const QString& programFolder, const QString& fallbackFolder,
                       const QDate& day)
{
    QString folder = programFolder;
    if (!folderIsWritable(folder)) {
        folder = fallbackFolder;
        QDir().mkpath(folder);
    }
    return QDir(folder).filePath(messageLogFileName(day));
}

QString versionString(int major, int minor, int revision)
{
    return QString::number(major) + QLatin1Char('.') + QString::number(minor) + QLatin1Char('.') +
           QString::number(revision);
}

QString programVersion()
{
    return versionString(WISPLINE_VERSION_MAJOR, WISPLINE_VERSION_MINOR, WISPLINE_VERSION_PATCH);
}

InstanceGuard::InstanceGuard(const QString& lockPath) : lock_(new QLockFile(lockPath))
{
    // Never treat a lock as stale by age alone: a long session keeps it for days. A lock whose
    // owner process is gone is still recognised and taken over by QLockFile.
    lock_->setStaleLockTime(0);
}

InstanceGuard::~InstanceGuard() = default;

bool InstanceGuard::acquire()
{
    return lock_->tryLock(0);
}

void InstanceGuard::release()
{
    lock_->unlock();
}

QString InstanceGuard::defaultLockPath()
{
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return QDir(dir).filePath(QStringLiteral("AkWispline.lock"));
}

bool Main(InstanceGuard& guard, const std::function<void()>& showLogonWindow)
{
    try {
        SessionState& s = session();
        s.ThemeForeColor = 33023;
        s.ThemeBackColor = 0;

        if (!guard.acquire()) {
            showBox(QStringLiteral("Application already running.\r\nFirst close the previous "
                                   "instance."),
                    QStringLiteral("VESK Wispline"), BoxIcon::Exclamation);
            endProgram("Main: second instance", 1);
            return false;
        }
        services::addExitHook([&guard] { guard.release(); });

        const QString dataFolder =
            QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
        s.MessageLogPath = messageLogPath(services::programFolder().path(), dataFolder,
                                          services::clock().now().date());
        s.VersionString = programVersion();
        showLogonWindow();
        return true;
    } catch (const std::exception&) {
        showBox(QStringLiteral("Cannot connect to server"), QStringLiteral("Connection"),
                BoxIcon::Critical);
        endProgram("Main: start-up failure", 1);
        return false;
    }
}

} // namespace wispline
