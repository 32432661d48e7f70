#pragma once
// An event dispatcher for the server's thread that learns which sockets are ready from epoll.
// Qt's own dispatchers hand every watched descriptor to poll() on each wake-up, so with a
// thousand connections a message that arrives alone pays for a thousand sockets. Here a
// wake-up costs what is ready, whatever the number of connections.
//
// Install it before the application object exists:
//     QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
// Timers are kept ordered by due time and fire on the millisecond like Qt's precise timers
// (very coarse ones on whole seconds); other threads wake the loop through an eventfd.
#include <QAbstractEventDispatcher>

#include <atomic>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>

namespace wispline::server
{

class EpollEventDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit EpollEventDispatcher(QObject* parent = nullptr);
    ~EpollEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                       QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

private:
    struct Watch {
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
        QSocketNotifier* exception = nullptr;
        std::uint32_t generation = 0; // tells a descriptor number reused within one wake-up
        std::uint32_t events = 0;     // as given to epoll
    };
    struct Timer {
        QObject* object = nullptr;
        qint64 intervalNs = 0;
        qint64 dueNs = 0;
        Qt::TimerType type = Qt::CoarseTimer;
    };

    void updateWatch(int fd, Watch& watch);
    int waitMs(bool mayWait) const;
    bool fireTimers();
    void drainWakeUps();

    int epoll_ = -1;
    int wake_ = -1; // eventfd
    std::atomic<bool> wakePending_{false};
    std::atomic<bool> interrupted_{false};
    std::unordered_map<int, Watch> watches_;
    std::uint32_t nextGeneration_ = 1;
    std::unordered_map<int, Timer> timers_;
    std::set<std::pair<qint64, int>> due_; // (due time, timer id), soonest first
};

} // namespace wispline::server
