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
//
// Besides socket notifiers, a descriptor may be watched through a handler called directly:
// an entry in a table indexed by the descriptor, where a notifier would cost an object, its
// private part and a signal connection for every connection.
#include <QAbstractEventDispatcher>

#include <atomic>
#include <cstdint>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

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

    // The dispatcher of the calling thread, when it is one of these.
    static EpollEventDispatcher* current();

    static constexpr std::uint32_t Readable = 1;
    static constexpr std::uint32_t Writable = 2;
    using Handler = void (*)(void* context, std::uint32_t readiness);
    // Watches a descriptor for the readiness given (Readable and/or Writable; level-triggered,
    // as a notifier is); handler(context, ...) is called for each while it is asked for. The
    // ticket tells this watch apart from a later one on the same number. unwatch() must come
    // before the descriptor is closed: a number closed first may be reused at once.
    std::uint32_t watch(int fd, Handler handler, void* context, std::uint32_t readiness);
    void setReadiness(int fd, std::uint32_t readiness);
    void unwatch(int fd);
    // True while the watch that handed out this ticket lasts.
    bool isWatching(int fd, std::uint32_t ticket) const;

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

    struct Direct {
        Handler handler = nullptr;
        void* context = nullptr;
        std::uint32_t ticket = 0;    // 0: free
        std::uint32_t readiness = 0; // asked for
    };

    void updateWatch(int fd, Watch& watch);
    void setEpoll(int fd, std::uint32_t before, std::uint32_t events, std::uint64_t token);
    int waitMs(bool mayWait) const;
    bool fireTimers();
    void drainWakeUps();

    int epoll_ = -1;
    int wake_ = -1; // eventfd
    std::atomic<bool> wakePending_{false};
    std::atomic<bool> interrupted_{false};
    std::unordered_map<int, Watch> watches_;
    std::uint32_t nextGeneration_ = 1;
    std::vector<Direct> direct_; // by descriptor
    std::uint32_t nextTicket_ = 1;
    std::unordered_map<int, Timer> timers_;
    std::set<std::pair<qint64, int>> due_; // (due time, timer id), soonest first
};

} // namespace wispline::server
