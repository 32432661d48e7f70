#include "net/EpollEventDispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>

#include <algorithm>

#include <cerrno>
#include <ctime>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace wispline::server
{
namespace
{

constexpr qint64 kNsPerMs = 1000000;
constexpr int kMaxEvents = 256;
// The token of the eventfd in epoll's data; a socket's token carries its descriptor in the low
// half, which is never all ones, and its generation or ticket in the high half, a ticket with
// the top bit set.
constexpr std::uint64_t kWakeToken = ~std::uint64_t(0);
constexpr std::uint32_t kDirectBit = 0x80000000u;

qint64 monotonicNs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

qint64 intervalNsOf(qint64 intervalMs, Qt::TimerType type)
{
    // Very coarse timers fire on whole seconds, as Qt's own do.
    if (type == Qt::VeryCoarseTimer)
        intervalMs = (intervalMs + 500) / 1000 * 1000;
    return intervalMs * kNsPerMs;
}

} // namespace

EpollEventDispatcher::EpollEventDispatcher(QObject* parent) : QAbstractEventDispatcher(parent)
{
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0)
        qFatal("cannot set up epoll: %s", strerror(errno));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeToken;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &ev) != 0)
        qFatal("cannot watch the wake-up descriptor: %s", strerror(errno));
}

EpollEventDispatcher::~EpollEventDispatcher()
{
    ::close(wake_);
    ::close(epoll_);
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    Watch& watch = watches_[fd];
    if (!watch.read && !watch.write && !watch.exception)
        watch.generation = nextGeneration_++ & ~kDirectBit;
    QSocketNotifier* const before = notifier->type() == QSocketNotifier::Read    ? watch.read
                                    : notifier->type() == QSocketNotifier::Write ? watch.write
                                                                                 : watch.exception;
    // Another notifier on this number: its descriptor was closed before it was let go, which
    // took it out of the epoll set. Set the new one up from scratch.
    if (before && before != notifier) {
        watch = Watch();
        watch.generation = nextGeneration_++ & ~kDirectBit;
    }
    switch (notifier->type()) {
    case QSocketNotifier::Read:
        watch.read = notifier;
        break;
    case QSocketNotifier::Write:
        watch.write = notifier;
        break;
    case QSocketNotifier::Exception:
        watch.exception = notifier;
        break;
    }
    updateWatch(fd, watch);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    const auto it = watches_.find(fd);
    if (it == watches_.end())
        return;
    Watch& watch = it->second;
    if (watch.read == notifier)
        watch.read = nullptr;
    if (watch.write == notifier)
        watch.write = nullptr;
    if (watch.exception == notifier)
        watch.exception = nullptr;
    if (!watch.read && !watch.write && !watch.exception) {
        // The descriptor may already be closed, which took it out of the set by itself.
        if (watch.events != 0)
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        watches_.erase(it);
        return;
    }
    updateWatch(fd, watch);
}

void EpollEventDispatcher::updateWatch(int fd, Watch& watch)
{
    std::uint32_t events = 0;
    if (watch.read)
        events |= EPOLLIN | EPOLLRDHUP;
    if (watch.write)
        events |= EPOLLOUT;
    if (watch.exception)
        events |= EPOLLPRI;
    if (events == watch.events)
        return;
    setEpoll(fd, watch.events, events, (std::uint64_t(watch.generation) << 32) | std::uint32_t(fd));
    watch.events = events;
}

void EpollEventDispatcher::setEpoll(int fd, std::uint32_t before, std::uint32_t events,
                                    std::uint64_t token)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = token;
    int op = before == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    int rc = ::epoll_ctl(epoll_, op, fd, &ev);
    // A descriptor closed and reused behind our back: whichever way round, set it anew.
    if (rc != 0 && errno == ENOENT)
        rc = ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
    else if (rc != 0 && errno == EEXIST)
        rc = ::epoll_ctl(epoll_, EPOLL_CTL_MOD, fd, &ev);
    if (rc != 0)
        qWarning("cannot watch socket %d: %s", fd, strerror(errno));
}

EpollEventDispatcher* EpollEventDispatcher::current()
{
    return qobject_cast<EpollEventDispatcher*>(QAbstractEventDispatcher::instance());
}

namespace
{
std::uint32_t epollEventsOf(std::uint32_t readiness)
{
    std::uint32_t events = 0;
    if (readiness & EpollEventDispatcher::Readable)
        events |= EPOLLIN | EPOLLRDHUP;
    if (readiness & EpollEventDispatcher::Writable)
        events |= EPOLLOUT;
    return events;
}
} // namespace

std::uint32_t EpollEventDispatcher::watch(int fd, Handler handler, void* context,
                                          std::uint32_t readiness)
{
    if (fd < 0)
        return 0;
    if (std::size_t(fd) >= direct_.size())
        direct_.resize(std::max<std::size_t>(std::size_t(fd) + 1, direct_.size() * 2));
    Direct& entry = direct_[std::size_t(fd)];
    // A number still in the table was closed without unwatch(), which took it out of the set:
    // it is set up anew.
    entry = Direct();
    entry.handler = handler;
    entry.context = context;
    entry.ticket = (nextTicket_++ & ~kDirectBit) | kDirectBit;
    setReadiness(fd, readiness);
    return entry.ticket;
}

void EpollEventDispatcher::setReadiness(int fd, std::uint32_t readiness)
{
    if (fd < 0 || std::size_t(fd) >= direct_.size() || direct_[std::size_t(fd)].ticket == 0)
        return;
    Direct& entry = direct_[std::size_t(fd)];
    const std::uint32_t before = epollEventsOf(entry.readiness);
    const std::uint32_t events = epollEventsOf(readiness);
    entry.readiness = readiness;
    if (events == before)
        return;
    // Nothing asked for: out of the set, or a hang-up (reported whatever is asked for) would
    // wake the loop for ever.
    if (events == 0)
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    else
        setEpoll(fd, before, events, (std::uint64_t(entry.ticket) << 32) | std::uint32_t(fd));
}

void EpollEventDispatcher::unwatch(int fd)
{
    if (fd < 0 || std::size_t(fd) >= direct_.size() || direct_[std::size_t(fd)].ticket == 0)
        return;
    if (direct_[std::size_t(fd)].readiness != 0)
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    direct_[std::size_t(fd)] = Direct();
}

bool EpollEventDispatcher::isWatching(int fd, std::uint32_t ticket) const
{
    return ticket != 0 && fd >= 0 && std::size_t(fd) < direct_.size() &&
           direct_[std::size_t(fd)].ticket == ticket;
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                         QObject* object)
{
    Timer timer;
    timer.object = object;
    timer.type = timerType;
    timer.intervalNs = intervalNsOf(interval, timerType);
    timer.dueNs = monotonicNs() + timer.intervalNs;
    unregisterTimer(timerId);
    timers_.emplace(timerId, timer);
    due_.emplace(timer.dueNs, timerId);
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    const auto it = timers_.find(timerId);
    if (it == timers_.end())
        return false;
    due_.erase({it->second.dueNs, timerId});
    timers_.erase(it);
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject* object)
{
    bool any = false;
    for (auto it = timers_.begin(); it != timers_.end();) {
        if (it->second.object == object) {
            due_.erase({it->second.dueNs, it->first});
            it = timers_.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo>
EpollEventDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> list;
    for (const auto& [id, timer] : timers_) {
        if (timer.object == object)
            list.append(TimerInfo(id, int(timer.intervalNs / kNsPerMs), timer.type));
    }
    return list;
}

int EpollEventDispatcher::remainingTime(int timerId)
{
    const auto it = timers_.find(timerId);
    if (it == timers_.end())
        return -1;
    const qint64 left = it->second.dueNs - monotonicNs();
    return left <= 0 ? 0 : int((left + kNsPerMs - 1) / kNsPerMs);
}

void EpollEventDispatcher::wakeUp()
{
    // One write is enough until the loop has read it.
    if (wakePending_.exchange(true))
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

void EpollEventDispatcher::interrupt()
{
    interrupted_.store(true);
    wakeUp();
}

void EpollEventDispatcher::drainWakeUps()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(wake_, &count, sizeof count);
    wakePending_.store(false);
}

int EpollEventDispatcher::waitMs(bool mayWait) const
{
    if (!mayWait)
        return 0;
    if (due_.empty())
        return -1;
    const qint64 left = due_.begin()->first - monotonicNs();
    if (left <= 0)
        return 0;
    // Rounded up: waking a little early would only spin until the timer is due.
    const qint64 ms = (left + kNsPerMs - 1) / kNsPerMs;
    return ms > 0x7fffffff ? 0x7fffffff : int(ms);
}

bool EpollEventDispatcher::fireTimers()
{
    if (due_.empty())
        return false;
    const qint64 now = monotonicNs();
    std::vector<int> ready;
    for (auto it = due_.begin(); it != due_.end() && it->first <= now; ++it)
        ready.push_back(it->second);
    // Each due timer fires once per pass, even one that comes due again while others fire.
    for (const int id : ready) {
        const auto it = timers_.find(id);
        if (it == timers_.end())
            continue;
        Timer& timer = it->second;
        if (timer.dueNs > now)
            continue; // restarted by an earlier timer's handler
        due_.erase({timer.dueNs, id});
        timer.dueNs += timer.intervalNs;
        if (timer.dueNs <= now)
            timer.dueNs = now + timer.intervalNs; // fell behind: no burst to catch up
        due_.emplace(timer.dueNs, id);
        QTimerEvent event(id);
        QCoreApplication::sendEvent(timer.object, &event);
    }
    return !ready.empty();
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted_.store(false);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool mayWait = (flags & QEventLoop::WaitForMoreEvents) && !interrupted_.load();
    const bool withSockets = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    if (mayWait)
        emit aboutToBlock();

    // Taken whole before any is handled: each entry is looked up again before it is called,
    // since an earlier one may have removed it. A wake-up usually brings one or two sockets, so
    // nothing here is allocated per wake-up.
    epoll_event events[kMaxEvents];
    int count = 0;
    do {
        count = ::epoll_wait(epoll_, events, kMaxEvents,
                             withTimers ? waitMs(mayWait) : (mayWait && withSockets ? -1 : 0));
    } while (count < 0 && errno == EINTR && !interrupted_.load());
    if (count < 0)
        count = 0;
    // Like Qt's own dispatchers, awake() once per pass, at its start.

    bool handled = false;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t token = events[i].data.u64;
        if (token == kWakeToken) {
            drainWakeUps();
            handled = true;
            continue;
        }
        if (!withSockets)
            continue;
        const int fd = int(std::uint32_t(token));
        const std::uint32_t generation = std::uint32_t(token >> 32);
        const std::uint32_t ready = events[i].events;
        if (generation & kDirectBit) {
            // Looked up again before each call: the one before may have ended the watch.
            auto call = [&](std::uint32_t which) {
                if (std::size_t(fd) >= direct_.size())
                    return;
                const Direct& entry = direct_[std::size_t(fd)];
                if (entry.ticket != generation || !(entry.readiness & which))
                    return;
                entry.handler(entry.context, which);
                handled = true;
            };
            if (ready & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
                call(Readable);
            if (ready & (EPOLLOUT | EPOLLHUP | EPOLLERR))
                call(Writable);
            continue;
        }
        auto activate = [&](QSocketNotifier* Watch::*which) {
            const auto it = watches_.find(fd);
            if (it == watches_.end() || it->second.generation != generation)
                return;
            QSocketNotifier* notifier = it->second.*which;
            if (!notifier || !notifier->isEnabled())
                return;
            QEvent event(QEvent::SockAct);
            QCoreApplication::sendEvent(notifier, &event);
            handled = true;
        };
        if (ready & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
            activate(&Watch::read);
        if (ready & (EPOLLOUT | EPOLLHUP | EPOLLERR))
            activate(&Watch::write);
        if (ready & EPOLLPRI)
            activate(&Watch::exception);
    }
    if (withTimers && fireTimers())
        handled = true;
    return handled;
}

} // namespace wispline::server
