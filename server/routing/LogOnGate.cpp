#include "routing/LogOnGate.h"

#include "base/ServerLog.h"

#include <QThread>
#include <algorithm>
#include <utility>

namespace wispline::server
{
namespace
{

// Failures are forgotten after this long without another; the tables are swept of forgotten
// entries when they grow past kMaxTracked.
constexpr qint64 kForgetFailuresMs = 15 * 60 * 1000;
constexpr qsizetype kMaxTracked = 10000;

qint64 delayAfter(int count, int free, qint64 longest)
{
    const int doublings = std::min(count - free, 16);
    return std::min<qint64>(qint64(LogOnGate::kFirstDelayMs) << doublings, longest);
}

} // namespace

LogOnGate::LogOnGate(QObject* context) : context_(context), alive_(std::make_shared<bool>(true))
{
    clock_.start();
    workers_.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
}

LogOnGate::~LogOnGate()
{
    stop();
}

void LogOnGate::stop()
{
    *alive_ = false;
    workers_.clear();
    workers_.waitForDone();
}

void LogOnGate::setLimits(int maxChecks, int maxChecksPerAddress)
{
    maxChecks_ = maxChecks;
    maxChecksPerAddress_ = maxChecksPerAddress;
}

QString LogOnGate::pairKey(const QString& name, const QString& address)
{
    return name + QLatin1Char('\n') + address;
}

bool LogOnGate::locked(const QHash<QString, Failures>& table, const QString& key) const
{
    const auto it = table.constFind(key);
    return it != table.cend() && it->lockedUntil > clock_.elapsed();
}

LogOnGate::Admission LogOnGate::admit(const QString& name, const QString& address) const
{
    if (locked(pairs_, pairKey(name, address)) || locked(addresses_, address))
        return Admission::Throttled;
    if (checks_ >= maxChecks_ || checksFrom_.value(address) >= maxChecksPerAddress_)
        return Admission::Busy;
    return Admission::Check;
}

void LogOnGate::run(const QString& address, std::shared_ptr<std::atomic<bool>> cancelled,
                    std::function<void()> work, std::function<void(bool)> done)
{
    ++checks_;
    ++checksFrom_[address];
    workers_.start([this, alive = alive_, address, cancelled = std::move(cancelled),
                    work = std::move(work), done = std::move(done)]() mutable {
        // A connection gone while its check waited costs no key derivation.
        const bool ran = !cancelled->load();
        if (ran)
            work();
        QMetaObject::invokeMethod(
            context_,
            [this, alive, address, ran, done = std::move(done)] {
                if (!*alive)
                    return;
                done(ran);
                --checks_;
                if (--checksFrom_[address] <= 0)
                    checksFrom_.remove(address);
            },
            Qt::QueuedConnection);
    });
}

LogOnGate::Failures& LogOnGate::record(QHash<QString, Failures>& table, const QString& key,
                                       int free, qint64 longest)
{
    const qint64 now = clock_.elapsed();
    auto forgotten = [now](const Failures& f) {
        return f.lockedUntil <= now && now - f.last > kForgetFailuresMs;
    };
    // Swept at most once a second: a table kept full by made-up names would otherwise be
    // scanned at every failure.
    if (table.size() > kMaxTracked && now - lastSweep_ >= 1000) {
        lastSweep_ = now;
        table.removeIf([&](const auto& entry) { return forgotten(entry.value()); });
    }
    Failures& f = table[key];
    if (forgotten(f))
        f = Failures();
    ++f.count;
    f.last = now;
    if (f.count >= free)
        f.lockedUntil = now + delayAfter(f.count, free, longest);
    return f;
}

qint64 LogOnGate::failed(const QString& name, const QString& address)
{
    const auto first = [](Failures& f) {
        return f.lockedUntil > 0 && !std::exchange(f.logged, true);
    };
    Failures& pair = record(pairs_, pairKey(name, address), kFreeFailures, kLongestDelayMs);
    if (first(pair))
        logLine(QStringLiteral("log-ons for user name %1 from address %2 throttled after %3 "
                               "failures in a row")
                    .arg(name, address)
                    .arg(pair.count));
    Failures& from = record(addresses_, address, kFreeAddressFailures, kLongestDelayMs);
    if (first(from))
        logLine(QStringLiteral("log-ons from address %1 throttled after %2 failures in a row")
                    .arg(address)
                    .arg(from.count));
    // On the name alone nothing is locked, since its owner may be anywhere: guesses from
    // addresses not locked themselves get their answers late.
    Failures& byName = record(names_, name, kFreeFailures, kLongestAnswerDelayMs);
    if (first(byName))
        logLine(QStringLiteral("wrong passwords for user name %1 answered slowly after %2 "
                               "failures in a row")
                    .arg(name)
                    .arg(byName.count));
    const qint64 now = clock_.elapsed();
    if (pair.lockedUntil > now || from.lockedUntil > now)
        return 0;
    return std::max<qint64>(byName.lockedUntil - now, 0);
}

void LogOnGate::succeeded(const QString& name, const QString& address)
{
    // The address keeps its count: one account of its own must not let it guess on freely.
    pairs_.remove(pairKey(name, address));
}

} // namespace wispline::server
