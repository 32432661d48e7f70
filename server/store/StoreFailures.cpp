#include "store/StoreFailures.h"

#include "base/ServerLog.h"

namespace wispline::server
{
namespace
{

// A storage failure goes to the log at most this often, with a count of the others.
constexpr qint64 kFailureLogMs = 10000;
// A failed read not repeated for this long counts as mended.
constexpr qint64 kReadFailureFreshMs = 3000;

} // namespace

StoreFailures::StoreFailures()
{
    failureClock_.start();
}

qint64 StoreFailures::failingForMs() const
{
    return failing_ ? failureClock_.elapsed() - failingSince_ : 0;
}

void StoreFailures::reportFailure(const QString& what, const QString& error)
{
    if (!failing_)
        failingSince_ = failureClock_.elapsed();
    failingKinds_.insert(what);
    lastFailureAt_.insert(what, failureClock_.elapsed());
    failing_ = true;
    const auto logged = failureLoggedAt_.constFind(what);
    if (logged != failureLoggedAt_.cend() &&
        failureClock_.elapsed() - logged.value() < kFailureLogMs) {
        ++failuresUnlogged_;
        return;
    }
    const QString more =
        failuresUnlogged_ > 0
            ? QStringLiteral(" (%1 more failure(s) since the last line)").arg(failuresUnlogged_)
            : QString();
    logLine(
        QStringLiteral("storage: %1 failed: %2; kept and tried again%3").arg(what, error, more));
    failureLoggedAt_.insert(what, failureClock_.elapsed());
    failuresUnlogged_ = 0;
}

void StoreFailures::forgetFailedReads()
{
    // A read that failed leaves nothing waiting: unless it keeps failing (what waits on it is
    // tried again every second) it counts as mended, or a quiet node whose waiting client left
    // would stay "failing" and leave for nothing.
    if (!failing_)
        return;
    for (const char* read :
         {"reading an account", "reading the minimum version", "looking up recipients"}) {
        const QString what = QString::fromLatin1(read);
        const auto last = lastFailureAt_.constFind(what);
        if (last != lastFailureAt_.cend() &&
            failureClock_.elapsed() - last.value() > kReadFailureFreshMs)
            reportRecovery(what);
    }
}

void StoreFailures::reportRecovery(const QString& what)
{
    // Working again only once every kind of work that failed has: a read that succeeds says
    // nothing of writes still kept in memory.
    if (!failingKinds_.remove(what))
        return;
    failureLoggedAt_.remove(what);
    lastFailureAt_.remove(what);
    if (!failingKinds_.isEmpty())
        return;
    failing_ = false;
    logLine(QStringLiteral("storage: working again after %1 more failure(s); nothing was lost")
                .arg(failuresUnlogged_));
    failuresUnlogged_ = 0;
}

} // namespace wispline::server
