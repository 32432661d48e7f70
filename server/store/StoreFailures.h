#pragma once
// Which kinds of the store's work fail now, since when, and what went to the log about them:
// a failure is logged at most every 10 s per kind (with a count of the others), and the store
// counts as working again only once every kind that failed has worked since. Readiness and the
// metrics read it. Routing thread only: the storage thread reports through it there.
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QString>

namespace wispline::server
{

class StoreFailures
{
public:
    StoreFailures();
    void reportFailure(const QString& what, const QString& error);
    void reportRecovery(const QString& what);
    // Reads that failed count as mended once not repeated for a few seconds.
    void forgetFailedReads();
    bool failing() const { return failing_; }
    // How long some kind of work has failed without a success since, in ms; 0 while all work.
    qint64 failingForMs() const;

private:
    bool failing_ = false; // some kind of work in failingKinds_ fails
    QSet<QString> failingKinds_;
    QElapsedTimer failureClock_;
    qint64 failingSince_ = 0;                // ms on failureClock_
    QHash<QString, qint64> failureLoggedAt_; // of each kind, ms on failureClock_
    QHash<QString, qint64> lastFailureAt_;   // of each kind failing, ms on failureClock_
    int failuresUnlogged_ = 0;
};

} // namespace wispline::server
