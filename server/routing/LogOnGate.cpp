#include "routing/LogOnGate.h"

#include "base/ServerLog.h"

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

LogOnGate::LogOnGate()
{
    clock_.start();
}

QString LogOnGate::pairKey(const QString& name, const QString& address)
{
    return name + QLatin1Char('\n') + address;
}

bool LogOnGate::forgotten(const Failures& f, qint64 now) const
{
    return f.lockedUntil <= now && now - f.last > kForgetFailuresMs;
}

bool LogOnGate::locked(const QHash<QString, Failures>& table, const QString& key) const
{
    const auto it = table.constFind(key);
    return it != table.cend() && it->lockedUntil > clock_.elapsed();
}

bool LogOnGate::pairLocked(const QString& name, const QString& address) const
{
    return locked(pairs_, pairKey(name, address));
}

bool LogOnGate::addressLocked(const QString& address) const
{
    const auto it = addresses_.constFind(address);
    return it != addresses_.cend() && it->count >= kFreeAddressFailures &&
           !forgotten(*it, clock_.elapsed());
}

qint64 LogOnGate::lockedWait(const QString& address) const
{
    const auto it = addresses_.constFind(address);
    return it == addresses_.cend() ? 0 : std::max<qint64>(it->nextTurn - clock_.elapsed(), 0);
}

void LogOnGate::takeLockedTurn(const QString& address)
{
    const auto it = addresses_.find(address);
    if (it != addresses_.end())
        it->nextTurn = clock_.elapsed() + kLockedCheckGapMs;
}

LogOnGate::Failures& LogOnGate::record(QHash<QString, Failures>& table, const QString& key,
                                       int free, qint64 longest)
{
    const qint64 now = clock_.elapsed();
    // Swept at most once a second: a table kept full by made-up names would otherwise be
    // scanned at every failure.
    if (table.size() > kMaxTracked && now - lastSweep_ >= 1000) {
        lastSweep_ = now;
        table.removeIf([&](const auto& entry) { return forgotten(entry.value(), now); });
    }
    Failures& f = table[key];
    if (forgotten(f, now))
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
    // An address is never locked by time: its lock is a slower rate (see lockedWait()).
    Failures& from = record(addresses_, address, kFreeAddressFailures, 0);
    from.lockedUntil = 0;
    if (from.count >= kFreeAddressFailures && !std::exchange(from.logged, true))
        logLine(QStringLiteral("log-ons from address %1 slowed to one check a second after %2 "
                               "failures in a row, but for users known there")
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
    if (pair.lockedUntil > now || addressLocked(address))
        return 0;
    return std::max<qint64>(byName.lockedUntil - now, 0);
}

void LogOnGate::succeeded(const QString& name, const QString& address)
{
    pairs_.remove(pairKey(name, address));
    // Each user lowers the count once: one account of its own must not let the address guess on
    // freely, whereas an office's users logging on bring it down.
    const auto from = addresses_.find(address);
    if (from == addresses_.end() || from->count == 0 || from->credited.contains(name))
        return;
    from->credited.insert(name);
    if (--from->count < kFreeAddressFailures)
        from->logged = false;
}

} // namespace wispline::server
