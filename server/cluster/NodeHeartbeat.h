#pragma once
// A node's heartbeat and the takeover of dead nodes, on a thread and database connection of
// their own: a statement waiting on a lock, or a database that answers slowly, holds up neither
// the routing nor the other nodes, and routing never holds up the heartbeat.
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace wispline::server
{

class ServerStore;

class NodeHeartbeat
{
public:
    // The callbacks run on the heartbeat's thread. beat: a heartbeat went through (what the
    // takeover moved, this node's inbox may hold). declaredDead: another node took this one for
    // dead meanwhile (a stall) and it is registered again; its users must be. say: a line for
    // the log, which only the routing thread writes.
    NodeHeartbeat(const ServerStore& store, const QString& node, int intervalMs, int expirySeconds,
                  std::function<void()> beat, std::function<void()> declaredDead,
                  std::function<void(const QString&)> say);
    ~NodeHeartbeat();
    NodeHeartbeat(const NodeHeartbeat&) = delete;
    NodeHeartbeat& operator=(const NodeHeartbeat&) = delete;

    void start();
    // Waits for a heartbeat under way to end; none follows.
    void stop();

    // The statement a heartbeat runs after its own: nodes unheard of for the expiry are
    // removed, their users' presence goes, each live node (this one included) gets one row
    // naming them all, and what waited for them goes to the node a user is on now or to the
    // offline queue; one notification per node woken. Rows locked by a session of a dead node
    // are skipped, and taken at a later heartbeat.
    static QString takeover(int expirySeconds);

    // Read from any thread, for readiness and the metrics: whether the last heartbeat went
    // through, how long ago one last did (-1 before one), and the live nodes it counted.
    bool registered() const { return registered_; }
    qint64 ageMs() const;
    int nodesAlive() const { return nodesAlive_; }

private:
    void run();
    // False with the reason when the heartbeat did not go through.
    bool beatOnce(QString* problem);

    const ServerStore& store_;
    const QString node_;
    const QString connectionName_;
    const int intervalMs_;
    const int expirySeconds_;
    std::function<void()> beat_;
    std::function<void()> declaredDead_;
    std::function<void(const QString&)> say_;
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    bool stopping_ = false;
    std::atomic<bool> registered_{false};
    std::atomic<qint64> lastBeatMs_{-1}; // on the steady clock
    std::atomic<int> nodesAlive_{0};
    std::thread thread_;
};

} // namespace wispline::server
