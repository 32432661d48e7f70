#include "base/ServerClock.h"

#include <atomic>
#include <ctime>

namespace wispline::server::clocks
{
namespace
{
std::atomic<qint64> wallStep{0};
} // namespace

qint64 wallMs()
{
    return QDateTime::currentMSecsSinceEpoch() + wallStep.load(std::memory_order_relaxed);
}

QDateTime wallNow()
{
    const qint64 step = wallStep.load(std::memory_order_relaxed);
    return step == 0 ? QDateTime::currentDateTime() : QDateTime::currentDateTime().addMSecs(step);
}

qint64 steadyMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

void stepWall(qint64 ms)
{
    wallStep.fetch_add(ms, std::memory_order_relaxed);
}

} // namespace wispline::server::clocks
