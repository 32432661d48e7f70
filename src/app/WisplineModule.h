#pragma once
// Start-up: the single-instance rule, the version string, the message-log path and `Main`.
#include <QDate>
#include <QString>
#include <functional>
#include <memory>

class QLockFile;

namespace wispline
{

// "M" + DDMMYYYY + ".Msg"
QString messageLogFileName(const QDate& day);
// The log goes into the program folder when the user may write there; otherwise (an installed,
// read-only program) into `fallbackFolder`, the per-user application data folder.
QString messageLogPath(const QString& programFolder, const QString& fallbackFolder,
                       const QDate& day);
// major.minor.revision, plain decimals.
QString versionString(int major, int minor, int revision);
// The version this program was built as.
QString programVersion();

// Holds the per-user lock that marks the running instance. A lock left behind by a crashed
// run is taken over (its owner process is gone).
class InstanceGuard
{
public:
    explicit InstanceGuard(const QString& lockPath);
    ~InstanceGuard();
    bool acquire(); // false when another live instance holds it
    void release();
    static QString defaultLockPath();

private:
    std::unique_ptr<QLockFile> lock_;
};

// The start-up procedure. `showLogonWindow` creates and shows the log-on window. Returns false
// when the process was ended (second instance or a start-up failure).
bool Main(InstanceGuard& guard, const std::function<void()>& showLogonWindow);

} // namespace wispline
