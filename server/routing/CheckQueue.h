#pragma once
// The queue of password checks. Each check (a key derivation: some 50 ms of a core) runs on a
// worker, never on the routing thread, and they start in the order they were asked for: a
// connection's log-on waits its turn, however many wait before it, and is never dropped. At
// most maxRunning run at once (the workers are sized to the cores), and one address takes no
// more than maxRunningPerAddress of them while another address waits. A log-on of a name from a
// locked address that does not know the user waits for the address's turn (see LogOnGate), and
// one whose (name, address) pair is locked by the time its turn comes is refused unchecked.
//
// A client without an answer reopens its connection every second and asks again: the new
// connection's log-on joins the check of the same name and password already waiting or running
// (it keeps its place), and a check that just succeeded answers it at once. A check whose askers
// are all gone waits kKeepMs for such a join before it is dropped, starting meanwhile only when
// no check somebody waits for can; no more of them wait than connections not logged on may be
// kept.
#include "routing/PasswordCheck.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QThreadPool>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace wispline::server
{

class LogOnGate;

class CheckQueue
{
public:
    // How long a check whose askers went waits to be joined, and a success serves joiners.
    static constexpr int kKeepMs = 3000;
    // Kept checks past their time are let go together, every so often at most.
    static constexpr qint64 kKeptSweepMs = 100;
    // Once this many checks have finished and the queue is empty again, the heap's free pages
    // go back to the system (see pump()).
    static constexpr int kTrimAfterChecks = 100;

    // Answers come back on context's thread.
    CheckQueue(QObject* context, LogOnGate& gate);
    ~CheckQueue();

    // 0: the default (one per core; half of those for one address).
    void setLimits(int maxRunning, int maxRunningPerAddress, int maxOrphans,
                   int maxOrphansPerAddress);
    int maxRunning() const { return maxRunning_; }

    struct Job {
        QString address;
        // A log-on's: its name, for the throttling, and the key that later log-ons of the same
        // name and password join it by. Empty for other checks, which are throttled by nobody.
        QString name;
        QByteArray key;
        bool knownOrigin = false; // the user logged on from the address lately
        bool carriedOut = false;  // runs and is answered even when its asker goes
        std::shared_ptr<PasswordCheck> check;
        std::function<void()> work; // on a worker
        // Here, once, before the answers; true when its outcome may answer joiners for kKeepMs.
        std::function<bool()> finished;
    };
    // Each asker's answer, here; with the job's check.
    using Answer = std::function<void(const PasswordCheck&)>;

    void ask(quint64 asker, Job job, Answer answer);
    // Joins the job of this key waiting or running (true), or hands a check that succeeded in
    // the last kKeepMs to kept (false then; the caller answers with it if it still holds).
    bool join(quint64 asker, const QByteArray& key, Answer answer,
              std::shared_ptr<const PasswordCheck>* kept);
    // The asker went; false when its job is carried out and answered all the same.
    bool leave(quint64 asker);
    // How long the asker's job has run on a worker (ms), kWaiting while it waits its turn,
    // kNotHere when the asker waits for none.
    static constexpr qint64 kNotHere = -2;
    static constexpr qint64 kWaiting = -1;
    qint64 runningFor(quint64 asker) const;

    int waiting() const { return int(waiting_.size()); }
    int running() const { return running_; }

    // Finishes what the workers run; answers not yet delivered are dropped.
    void stop();

private:
    struct Entry {
        Job job;
        std::vector<std::pair<quint64, Answer>> askers;
        enum class State { Waiting, Running, Kept } state = State::Waiting;
        qint64 startedAt = 0;
        qint64 orphanedAt = -1; // ms on clock_ since its last asker went
        qint64 keptUntil = 0;
    };
    using EntryPtr = std::shared_ptr<Entry>;

    void pump();
    // A log-on waiting for its locked address's turn.
    bool limited(const Job& job) const;
    void start(const EntryPtr& e);
    void finish(const EntryPtr& e);
    void orphan(const EntryPtr& e);
    void unorphan(const EntryPtr& e);
    void drop(const EntryPtr& e);
    void wakeIn(qint64 ms);

    QObject* context_;
    LogOnGate& gate_;
    QThreadPool workers_;
    QElapsedTimer clock_;
    QTimer wake_;
    int maxRunning_ = 1;
    int maxRunningPerAddress_ = 1;
    int maxOrphans_ = 1000;
    int maxOrphansPerAddress_ = 64;
    int running_ = 0;
    int orphans_ = 0;
    std::deque<EntryPtr> waiting_; // in the order asked
    std::deque<EntryPtr> kept_;    // succeeded lately, in the order of keptUntil
    QHash<QByteArray, EntryPtr> byKey_;
    QHash<quint64, EntryPtr> byAsker_;
    QHash<QString, int> runningFrom_;
    QHash<QString, int> orphansFrom_;
    bool pumping_ = false;
    int finishedSinceTrim_ = 0;
    std::shared_ptr<bool> alive_;
};

} // namespace wispline::server
