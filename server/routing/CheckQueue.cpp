#include "routing/CheckQueue.h"

#include "routing/LogOnGate.h"

#include <QThread>
#include <algorithm>
#include <malloc.h>

namespace wispline::server
{

CheckQueue::CheckQueue(QObject* context, LogOnGate& gate)
    : context_(context), gate_(gate), alive_(std::make_shared<bool>(true))
{
    clock_.start();
    workers_.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    setLimits(0, 0, 0, 0);
    wake_.setSingleShot(true);
    QObject::connect(&wake_, &QTimer::timeout, context_, [this] { pump(); });
}

CheckQueue::~CheckQueue()
{
    stop();
}

void CheckQueue::stop()
{
    *alive_ = false;
    wake_.stop();
    workers_.clear();
    workers_.waitForDone();
}

void CheckQueue::setLimits(int maxRunning, int maxRunningPerAddress, int maxOrphans,
                           int maxOrphansPerAddress)
{
    // More at once than there are cores would only make each take longer.
    const int cores = workers_.maxThreadCount();
    maxRunning_ = maxRunning > 0 ? std::min(maxRunning, cores) : cores;
    maxRunningPerAddress_ =
        maxRunningPerAddress > 0 ? maxRunningPerAddress : std::max(1, maxRunning_ / 2);
    if (maxOrphans > 0)
        maxOrphans_ = maxOrphans;
    if (maxOrphansPerAddress > 0)
        maxOrphansPerAddress_ = maxOrphansPerAddress;
}

void CheckQueue::ask(quint64 asker, Job job, Answer answer)
{
    if (!job.check)
        job.check = std::make_shared<PasswordCheck>();
    auto e = std::make_shared<Entry>();
    e->job = std::move(job);
    e->askers.emplace_back(asker, std::move(answer));
    byAsker_.insert(asker, e);
    if (!e->job.key.isEmpty())
        byKey_.insert(e->job.key, e); // over one kept: that one no longer holds
    waiting_.push_back(e);
    pump();
}

bool CheckQueue::join(quint64 asker, const QByteArray& key, Answer answer,
                      std::shared_ptr<const PasswordCheck>* kept)
{
    const EntryPtr e = byKey_.value(key);
    if (!e)
        return false;
    if (e->state == Entry::State::Kept) {
        if (clock_.elapsed() < e->keptUntil)
            *kept = e->job.check;
        return false;
    }
    unorphan(e);
    e->askers.emplace_back(asker, std::move(answer));
    byAsker_.insert(asker, e);
    return true;
}

bool CheckQueue::leave(quint64 asker)
{
    const auto found = byAsker_.find(asker);
    if (found == byAsker_.end())
        return true;
    const EntryPtr e = found.value();
    if (e->job.carriedOut)
        return false;
    byAsker_.erase(found);
    e->askers.erase(std::remove_if(e->askers.begin(), e->askers.end(),
                                   [asker](const auto& a) { return a.first == asker; }),
                    e->askers.end());
    if (e->askers.empty())
        orphan(e);
    return true;
}

qint64 CheckQueue::runningFor(quint64 asker) const
{
    const EntryPtr e = byAsker_.value(asker);
    if (!e)
        return kNotHere;
    return e->state == Entry::State::Running ? clock_.elapsed() - e->startedAt : kWaiting;
}

void CheckQueue::orphan(const EntryPtr& e)
{
    const QString& address = e->job.address;
    const bool full =
        orphans_ >= maxOrphans_ || orphansFrom_.value(address) >= maxOrphansPerAddress_;
    if (e->state == Entry::State::Waiting && (full || e->job.key.isEmpty())) {
        drop(e); // nobody could take it over
        return;
    }
    if (e->job.key.isEmpty())
        return; // runs to its end, answering nobody
    e->orphanedAt = clock_.elapsed();
    ++orphans_;
    ++orphansFrom_[address];
    wakeIn(kKeepMs);
}

void CheckQueue::unorphan(const EntryPtr& e)
{
    if (e->orphanedAt < 0)
        return;
    e->orphanedAt = -1;
    --orphans_;
    if (--orphansFrom_[e->job.address] <= 0)
        orphansFrom_.remove(e->job.address);
}

void CheckQueue::drop(const EntryPtr& e)
{
    unorphan(e);
    const auto at = std::find(waiting_.begin(), waiting_.end(), e);
    if (at != waiting_.end())
        waiting_.erase(at);
    if (!e->job.key.isEmpty() && byKey_.value(e->job.key) == e)
        byKey_.remove(e->job.key);
}

void CheckQueue::wakeIn(qint64 ms)
{
    if (!wake_.isActive() || wake_.remainingTime() > ms)
        wake_.start(int(std::max<qint64>(ms, 1)));
}

bool CheckQueue::limited(const Job& job) const
{
    return !job.name.isEmpty() && !job.knownOrigin && gate_.addressLocked(job.address);
}

void CheckQueue::pump()
{
    if (pumping_ || !*alive_)
        return;
    pumping_ = true;
    const qint64 now = clock_.elapsed();
    // Checks whose askers went and that nobody took over in time cost nothing; nor do log-ons
    // whose (name, address) was locked while they waited: they are refused unchecked.
    std::vector<EntryPtr> expired;
    std::vector<EntryPtr> refused;
    for (const EntryPtr& e : waiting_) {
        if (e->orphanedAt >= 0 && now - e->orphanedAt >= kKeepMs)
            expired.push_back(e);
        else if (!e->job.name.isEmpty() && gate_.pairLocked(e->job.name, e->job.address))
            refused.push_back(e);
        else if (e->orphanedAt >= 0)
            wakeIn(e->orphanedAt + kKeepMs - now);
    }
    for (const EntryPtr& e : expired)
        drop(e);
    for (const EntryPtr& e : refused)
        drop(e);
    while (!kept_.empty() && kept_.front()->keptUntil <= now) {
        const EntryPtr& e = kept_.front();
        if (byKey_.value(e->job.key) == e)
            byKey_.remove(e->job.key);
        kept_.pop_front();
    }
    // Let go in sweeps, not one wake-up per check of a storm: past its time a kept check
    // answers nobody (see join()), only its memory waits for the next sweep.
    if (!kept_.empty())
        wakeIn(std::max(kept_.front()->keptUntil - now, kKeptSweepMs));
    // A storm of log-ons is over. Its checks' short-lived blocks lay between the records of the
    // connections that came with it, so the freed space is spread over pages the heap keeps
    // (more than the connections' records themselves); malloc gives back only its top unless
    // asked. Asked once per storm, not per check: it walks the whole heap.
    if (waiting_.empty() && kept_.empty() && running_ == 0 &&
        finishedSinceTrim_ >= kTrimAfterChecks) {
        finishedSinceTrim_ = 0;
        // The tables keep the size the storm gave them even when empty.
        if (byKey_.isEmpty())
            byKey_ = {};
        if (byAsker_.isEmpty())
            byAsker_ = {};
        if (runningFrom_.isEmpty())
            runningFrom_ = {};
        if (orphansFrom_.isEmpty())
            orphansFrom_ = {};
        ::malloc_trim(0);
    }

    while (running_ < maxRunning_) {
        auto pick = waiting_.end();
        auto fallback = waiting_.end();
        auto orphaned = waiting_.end();
        for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
            const Job& job = (*it)->job;
            if (limited(job)) {
                if (const qint64 wait = gate_.lockedWait(job.address); wait > 0) {
                    wakeIn(wait);
                    continue;
                }
            }
            // A check whose askers went (a program that gave up, or one between two
            // connections) waits while one somebody waits for can start: in a storm the front
            // of the queue is held by the programs about to give up, and their checks would
            // answer nobody while those behind run out of time too.
            if ((*it)->orphanedAt >= 0) {
                if (orphaned == waiting_.end())
                    orphaned = it;
                continue;
            }
            // An address at its share waits while others have checks to start.
            if (runningFrom_.value(job.address) >= maxRunningPerAddress_) {
                if (fallback == waiting_.end())
                    fallback = it;
                continue;
            }
            pick = it;
            break;
        }
        if (pick == waiting_.end())
            pick = fallback;
        if (pick == waiting_.end())
            pick = orphaned;
        if (pick == waiting_.end())
            break;
        const EntryPtr e = *pick;
        waiting_.erase(pick);
        if (limited(e->job))
            gate_.takeLockedTurn(e->job.address);
        start(e);
    }
    pumping_ = false;

    // Their askers are answered (Invalid) as at the end of a check.
    for (const EntryPtr& e : refused) {
        e->job.check->throttled = true;
        finish(e);
    }
}

void CheckQueue::start(const EntryPtr& e)
{
    e->state = Entry::State::Running;
    e->startedAt = clock_.elapsed();
    ++running_;
    ++runningFrom_[e->job.address];
    workers_.start([this, alive = alive_, e] {
        if (*alive && e->job.work)
            e->job.work();
        QMetaObject::invokeMethod(
            context_,
            [this, alive, e] {
                if (*alive)
                    finish(e);
            },
            Qt::QueuedConnection);
    });
}

void CheckQueue::finish(const EntryPtr& e)
{
    if (e->state == Entry::State::Running) {
        --running_;
        if (--runningFrom_[e->job.address] <= 0)
            runningFrom_.remove(e->job.address);
    }
    unorphan(e);
    ++finishedSinceTrim_;
    const bool keep = e->job.finished && e->job.finished();
    const auto askers = std::move(e->askers);
    e->askers.clear();
    for (const auto& a : askers)
        byAsker_.remove(a.first);
    const QByteArray& key = e->job.key;
    if (keep && !key.isEmpty() && byKey_.value(key) == e) {
        e->state = Entry::State::Kept;
        e->keptUntil = clock_.elapsed() + kKeepMs;
        kept_.push_back(e);
        // Let go at its time even if nobody asks again (see pump()): each holds the check, its
        // job and the password, a few hundred bytes per log-on of the last storm.
        wakeIn(kKeepMs);
    } else if (!key.isEmpty() && byKey_.value(key) == e) {
        byKey_.remove(key);
    }
    for (const auto& a : askers)
        a.second(*e->job.check);
    pump();
}

} // namespace wispline::server
