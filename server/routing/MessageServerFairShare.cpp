// Fair shares: what one logged-on connection may cost the others. A body past the bound is
// refused; a connection over its budgets (messages, deliveries, bytes for the store), or one of
// the largest writers while the store cannot keep up, or any sender while the database's disk is
// below its floor, waits with its message, not read, and nothing of it is dropped. And the
// names a connection may have looked up.
#include "base/ServerLog.h"
#include "cluster/ServerNode.h"
#include "routing/MessageServerClient.h"

#include <algorithm>
#include <utility>

namespace wispline::server
{
namespace
{
// What a row costs the store beyond its texts: the names, the times, the index entries.
constexpr qsizetype kRowBytes = 64;
// A connection that wrote less than this lately (a person's messages, even to a few dozen
// offline users) is left alone while the store falls behind, unless what waits reaches twice
// the store's limit.
constexpr double kLightWriterBytes = 64 * 1024;
} // namespace

bool MessageServer::mayRoute(Client* client, const QByteArray& message, QByteArrayView body,
                             qint64 now)
{
    if (!client->share)
        client->share.emplace(limits_.rates, now);
    qint64 wait = client->share->waitMs(now);
    if (wait > 0 && !std::exchange(client->pauseLogged, true) && mayLog(client))
        logLine(QStringLiteral("%1: over its share of messages, deliveries or bytes to store; "
                               "not read for %2 ms (later pauses are not logged)")
                    .arg(client->who())
                    .arg(wait));
    if (wait == 0 && store_.spaceLow())
        wait = kStoreRetryMs;
    if (wait == 0 && storeCongested()) {
        if (!storeTimer_.isActive())
            storeTick(); // the largest writers wait from now on
        if (client->storeHeld)
            wait = kStoreCheckMs;
    }
    // A server that stops reads everything up to the last moment: no pause then.
    if (wait > 0 && !shuttingDown_) {
        holdInput(client, message, wait);
        client->fairHeld = true;
        return false;
    }
    client->fairHeld = false;
    // Every message taken counts, whatever becomes of it.
    client->share->charge(now, 1, 0, 0);
    client->keptBefore = store_.offlineAdded();
    // Spaces around a body are not sent on, so they count for nothing; framing characters are
    // replaced one for one.
    if (body.trimmed().size() > kMaxBodyLength) {
        // The protocol has no refusal of a message: the sender's client never learns.
        if (!std::exchange(client->longBodyLogged, true) && mayLog(client))
            logLine(QStringLiteral("%1: message of %2 characters refused, over %3 (further ones "
                                   "on this connection are not logged)")
                        .arg(client->who())
                        .arg(body.trimmed().size())
                        .arg(kMaxBodyLength));
        return false;
    }
    return true;
}

void MessageServer::charge(Client* client, qint64 now, qsizetype recipients, qsizetype notHere,
                           qsizetype body, qsizetype display)
{
    // Each recipient's day record, and a display text for each not connected here (kept for
    // later, or handed to another node).
    const qint64 stored =
        qint64(recipients) * (body + kRowBytes) + qint64(notHere) * (display + kRowBytes);
    client->share->charge(now, 0, recipients, stored);
    // A message to many offline users is written a slice a turn: nothing more of its sender's
    // is read meanwhile, so whatever answers the sender next comes once all of it is kept. Its
    // own writes only, not another's being written meanwhile.
    if (store_.offlineAdded() > client->keptBefore) {
        client->keptUpTo = store_.offlineAdded();
        holdUntilKept(client);
    }
}

void MessageServer::holdUntilKept(Client* client)
{
    // A store that fails keeps the rows and tries again by itself: the sender goes on then, as
    // any other, and the largest writers wait if it falls behind.
    if (client->gone || client->keptUpTo <= store_.offlineCommitted() || !store_.reachable() ||
        shuttingDown_)
        return;
    client->fairHeld = true;
    client->checking = true;
    client->storeWait = true;
    client->socket->pauseReading(true);
    // A commit posted this turn runs before a call posted after it: looked at again right then.
    QTimer::singleShot(offlineCommitDue_ ? 0 : 1, this, [this, id = client->id] {
        Client* c = clientById(id);
        if (!c)
            return;
        c->checking = false;
        c->storeWait = false;
        c->fairHeld = false;
        holdUntilKept(c);
        if (c->checking)
            return;
        updateReading(c);
        resumeInput(c);
    });
}

void MessageServer::releaseFairHolds()
{
    // What a paused connection sent is read and routed before the reset that ends the stop,
    // which would drop it.
    std::vector<Client*> held;
    for (auto& entry : clients_) {
        if (!entry.second->gone && entry.second->fairHeld && entry.second->checking)
            held.push_back(entry.second.get());
    }
    for (Client* c : held) {
        c->fairHeld = false;
        c->checking = false;
        c->storeWait = false;
        updateReading(c);
        resumeInput(c);
    }
}

bool MessageServer::storeCongested() const
{
    // Messages for other nodes wait in memory too while the database is away.
    return store_.congested() || (node_ && node_->congested());
}

qint64 MessageServer::storeBacklogBytes() const
{
    return store_.queuedBytes() + (node_ ? node_->outgoingBytes() : 0);
}

void MessageServer::storeTick()
{
    if (!storeCongested()) {
        storeTimer_.stop();
        int held = 0;
        for (auto& entry : clients_)
            held += std::exchange(entry.second->storeHeld, false) ? 1 : 0;
        logLine(QStringLiteral("storage: caught up; the %1 connection(s) that waited are read "
                               "again")
                    .arg(held));
        return;
    }
    if (!storeTimer_.isActive()) {
        logLine(QStringLiteral("storage: cannot keep up; the connections that write the most "
                               "wait until it does"));
        storeTimer_.start(kStoreCheckMs);
        lastBacklogBytes_ = 0; // the largest writers wait from now on
    }
    // While what waits still grows, more of the largest writers wait.
    const qint64 waiting = storeBacklogBytes();
    if (waiting >= lastBacklogBytes_)
        holdLargestWriters();
    lastBacklogBytes_ = waiting;
}

void MessageServer::holdLargestWriters()
{
    // The largest first, until those held wrote half of what the others did lately: each tick
    // while the store falls behind halves what is written beside it. A connection that writes
    // little waits only when what waits reaches twice the limit, one that writes nothing never.
    const bool overwhelmed = store_.queuedBytes() > 2 * ServerStore::kMaxPendingBytes ||
                             (node_ && node_->outgoingBytes() > 2 * ServerNode::kMaxOutgoingBytes);
    const double least = overwhelmed ? 1 : kLightWriterBytes;
    const qint64 now = clock_.elapsed();
    std::vector<std::pair<double, Client*>> writers;
    double total = 0;
    for (auto& entry : clients_) {
        Client* c = entry.second.get();
        if (c->gone || c->storeHeld || !c->share)
            continue;
        const double written = c->share->recentlyStored(now);
        if (written < least)
            continue;
        writers.emplace_back(written, c);
        total += written;
    }
    std::sort(writers.begin(), writers.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    double held = 0;
    for (const auto& [written, c] : writers) {
        if (held >= total / 2)
            break;
        c->storeHeld = true;
        held += written;
    }
}

bool MessageServer::mayLookUp(Client* client, qsizetype names)
{
    // Names looked up for one connection: kNamedBurst at once and kNamedPerSecond over time,
    // far above what anyone types; beyond that it is refused and not read for a while.
    const qint64 now = clock_.elapsed();
    client->namedLeft = std::min(kNamedBurst, client->namedLeft + double(now - client->namedAt) *
                                                                      kNamedPerSecond / 1000);
    client->namedAt = now;
    if (double(names) <= client->namedLeft) {
        client->namedLeft -= double(names);
        return true;
    }
    if (mayLog(client))
        logLine(QStringLiteral("%1: message refused: too many unknown recipients lately")
                    .arg(client->who()));
    slowDown(client, qint64((double(names) - client->namedLeft) * 1000 / kNamedPerSecond) + 1);
    return false;
}

void MessageServer::slowDown(Client* client, qint64 ms)
{
    if (client->slowed)
        return;
    client->slowed = true;
    updateReading(client);
    QTimer::singleShot(ms, this, [this, id = client->id] {
        if (Client* c = clientById(id)) {
            c->slowed = false;
            updateReading(c);
            if (!c->checking)
                readFrom(c);
        }
    });
}

} // namespace wispline::server
