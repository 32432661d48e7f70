#pragma once
// What waits to be written when the server leaves (messages kept for offline users, the day's
// records, messages for users of other nodes) is never dropped: it goes into the database while
// that works, or else into the spill file, synced, which the next start writes into the database
// before it listens. While neither takes it (the database away and the spill file's disk full),
// it is held and both are tried again every second, the event loop turning so the service
// manager's watchdog stays fed: ending then would lose it.
#include <QString>

namespace wispline::server
{

class ServerNode;
class ServerStore;
struct SpillReplay;

// Returns once everything is written somewhere. storeWorks: the database answered lately, so the
// last writes are tried there first.
void keepLeftovers(ServerStore& store, ServerNode* node, const QString& spillPath,
                   const QString& database, bool storeWorks);

// Logs what a replay at the start wrote, and counts it.
void reportReplay(const SpillReplay& replay, const QString& spillPath);

// Between two tries while the rows are held (a try of the database waits for a lock itself).
inline constexpr int kLeftoverRetryMs = 1000;
// How often the log says they are still held.
inline constexpr int kLeftoverLogMs = 60000;

} // namespace wispline::server
