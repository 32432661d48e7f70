// Long outputs (offline backlogs, day downloads) paced by the socket, what each connection's peer
// has acknowledged, and what an ended connection gives back to the offline queue.
#include "base/Crypto.h"
#include "base/ServerLog.h"
#include "base/ServerMetrics.h"
#include "cluster/ServerNode.h"
#include "routing/MessageServerClient.h"

#include <utility>

namespace wispline::server
{
namespace
{
// Six entries fill a 256-byte block.
constexpr qsizetype kUnacknowledgedRoom = 6;
} // namespace

void MessageServer::sendDayMessages(Client* client, const QList<QByteArray>& fields)
{
    if (client->dayAsked) {
        if (mayLog(client))
            logLine(QStringLiteral("%1: day messages asked for again before the end, ignored")
                        .arg(client->who()));
        return;
    }
    client->dayAsked = true;
    // A user may start a few downloads at once, then one every kDayGapMs: a download loop costs
    // the others nothing to speak of. One asked for too soon waits its turn.
    const qint64 now = clock_.elapsed();
    DayAllowance& allowance = dayAllowance_[client->name];
    if (allowance.at == 0)
        allowance.left = kDayBurst;
    allowance.left = std::min(kDayBurst, allowance.left + double(now - allowance.at) / kDayGapMs);
    allowance.at = now;
    allowance.left -= 1;
    const qint64 wait = allowance.left >= 0 ? 0 : qint64(-allowance.left * kDayGapMs);
    QTimer::singleShot(wait, this,
                       [this, id = client->id, password = fields[2], asked = fields[1]] {
                           beginDayMessages(id, password, asked);
                       });
}

void MessageServer::beginDayMessages(quint64 id, const QByteArray& password,
                                     const QByteArray& asked)
{
    Client* c = clientById(id);
    if (!c || !c->loggedOn)
        return;
    // One check at a time on a connection: one still running (a password change) goes first.
    if (c->checking) {
        QTimer::singleShot(50, this,
                           [this, id, password, asked] { beginDayMessages(id, password, asked); });
        return;
    }
    QByteArray name;
    int level = 0;
    send(c, frame({"ALLM", "START"}));
    if (!splitAddress(asked, &name, &level) || name != c->name) {
        refuseDayMessages(c, asked);
        return;
    }
    checkDayMessages(c, password);
}

void MessageServer::checkDayMessages(Client* client, const QByteArray& password)
{
    // The password's key derivation runs on a worker, like a log-on's; the download reads up to
    // what is committed once the messages recorded so far are.
    const auto start = [this](Client* c) {
        store_.whenCommitted([this, id = c->id](qint64 upTo) {
            if (Client* still = clientById(id); still && still->loggedOn)
                startDayMessages(still, upTo);
        });
    };
    // A directory's account has no password here: the session's own is asked for.
    if (client->directory) {
        if (crypto::sameBytes(password, client->password))
            start(client);
        else
            refuseDayMessages(client, client->address());
        return;
    }
    bool failed = false;
    std::optional<Account> account = store_.account(fromWire(client->name), &failed);
    if (failed) {
        // An account that cannot be read is no wrong password: the download waits for the store.
        checkDayMessagesLater(client->id, password, kStoreRetryMs);
        return;
    }
    auto matches = std::make_shared<bool>(false);
    const ServerStore* store = &store_;
    offThread(
        client,
        [store, matches, account = std::move(account), password] {
            *matches = store->passwordMatches(account, password);
        },
        [this, matches, start](Client* c) {
            if (!*matches) {
                refuseDayMessages(c, c->address());
                return;
            }
            start(c);
        });
}

void MessageServer::checkDayMessagesLater(quint64 id, const QByteArray& password, int delayMs)
{
    QTimer::singleShot(delayMs, this, [this, id, password] {
        Client* c = clientById(id);
        if (!c || !c->loggedOn)
            return;
        // One check at a time on a connection.
        if (c->checking)
            checkDayMessagesLater(id, password, 50);
        else
            checkDayMessages(c, password);
    });
}

void MessageServer::refuseDayMessages(Client* client, const QByteArray& asked)
{
    if (mayLog(client))
        logLine(QStringLiteral("%1: day messages refused for %2: wrong user or password")
                    .arg(client->who(), shown(asked)));
    client->dayAsked = false;
    send(client, frame({"ALLM", "END"}));
}

void MessageServer::startDayMessages(Client* client, qint64 upTo)
{
    // Sent a batch at a time as the socket drains, up to the last message committed by now.
    client->dayStream = true;
    client->day = stamp().local.date();
    client->dayUpTo = upTo;
    client->dayAfter = 0;
    pump(client);
}

void MessageServer::pump(Client* client)
{
    // A replaced session's unacknowledged messages go back to the queue before it is read.
    while (client->backlog && client->predecessor == 0 && !client->gone && client->loggedOn &&
           client->socket->isConnected() && client->socket->bytesToWrite() < kPumpLowWater) {
        if (!pumpBacklog(client))
            return;
    }
    if (client->dayStream && !(client->backlog && client->predecessor == 0) &&
        !client->dayReading && !client->gone && client->socket->isConnected() &&
        client->socket->bytesToWrite() < kPumpLowWater)
        readDayMessages(client);
}

void MessageServer::readDayMessages(Client* client)
{
    // One batch at a time, read and formatted on the reader's thread.
    client->dayReading = true;
    dayReader_.read(
        client->day, client->name, client->dayAfter, client->dayUpTo, kDayBatchRows,
        [](const DayMessage& m) {
            return frame({"ALLM", "MSG",
                          sanitizeField(toWire(dayLine(m.time, m.sender, m.recipient, m.body)))});
        },
        [this, id = client->id](const DayReader::Batch& batch) {
            Client* c = clientById(id);
            if (!c || !c->loggedOn)
                return;
            c->dayReading = false;
            if (batch.failed) {
                // The end marker would make a cut download look whole: a reset instead, after
                // which the client reconnects and the user can ask again.
                logLine(QStringLiteral("%1: day messages could not be read; connection reset")
                            .arg(c->who()));
                c->socket->reset();
                return;
            }
            if (batch.rows > 0) {
                c->dayAfter = batch.lastId;
                send(c, batch.bytes);
            }
            if (batch.rows < kDayBatchRows) {
                c->dayStream = false;
                c->dayAsked = false;
                send(c, frame({"ALLM", "END"}));
                return;
            }
            pump(c);
        });
}

bool MessageServer::pumpBacklog(Client* client)
{
    if (client->backlogNext == client->backlogRows.size()) {
        bool failed = false;
        if (!client->backlogAllRead) {
            client->backlogRows =
                store_.offlineBatch(client->name, client->backlogAfter, kBatchRows, &failed);
            client->backlogAllRead = !failed && client->backlogRows.size() < kBatchRows;
        } else if (!client->backlogSwept) {
            // On PostgreSQL a row may commit after rows with higher ids were read: once the
            // batches are done, the rows below the highest one handed over that were not.
            client->backlogRows = store_.offlineUpTo(client->name, client->backlogAfter, &failed);
            client->backlogRows.removeIf(
                [client](const OfflineMessage& m) { return client->offlineSent.contains(m.id); });
            client->backlogSwept = !failed;
        } else {
            client->backlogRows.clear();
        }
        client->backlogNext = 0;
        if (failed) {
            // The rest of the queue is not lost with the store: it follows once it reads again.
            client->backlogRows.clear();
            if (!std::exchange(client->backlogWaits, true))
                QTimer::singleShot(kStoreRetryMs, this, [this, id = client->id] {
                    if (Client* c = clientById(id)) {
                        c->backlogWaits = false;
                        pump(c);
                    }
                });
            return false;
        }
        if (client->backlogRows.isEmpty()) {
            if (!client->backlogSwept)
                return true; // the sweep next
            client->backlog = false;
            if (client->backlogCount > 0)
                logLine(QStringLiteral("%1: %2 offline message(s) delivered")
                            .arg(client->who())
                            .arg(client->backlogCount));
            return true;
        }
    }
    // Rows are handed over until the socket holds enough; the rest wait for it to drain. Each
    // row leaves the queue once the peer has acknowledged it.
    while (client->backlogNext < client->backlogRows.size() &&
           client->socket->bytesToWrite() < kPumpLowWater) {
        const OfflineMessage& m = client->backlogRows[client->backlogNext++];
        send(client, frame("OffL", m.text), true, m.id);
        if (client->gone)
            return false;
        client->backlogAfter = std::max(client->backlogAfter, m.id);
        client->offlineSent.insert(m.id);
        ++client->backlogCount;
    }
    return true;
}

void MessageServer::send(Client* client, const QByteArray& framed, bool kept, qint64 offlineId)
{
    if (client->gone || !client->socket->isConnected()) {
        // Too late for this connection (closing, or dropped earlier in the same turn): the
        // message is kept for the user's next log-on, as what the connection did not
        // acknowledge is. A queue row not sent is still in the queue.
        if (!kept)
            return;
        if (!client->gone) {
            client->unacknowledged.push_back({client->socket->handedOver() + 1, framed, offlineId});
            acknowledging_.insert(client->id);
        } else if (offlineId == 0 && !client->name.isEmpty()) {
            store_.queueOffline(stamp().local.toString(Qt::ISODate), client->name,
                                fieldOfFrame(framed).toByteArray(), false);
            store_.flushOffline();
        }
        return;
    }
    if (client->socket->bytesToWrite() > kMaxQueuedOutput) {
        dropNonReader(client, kept ? framed : QByteArray(), offlineId);
        return;
    }
    client->socket->write(framed);
    metrics::count(metrics::Counter::BytesOut, quint64(framed.size()));
    if (!kept)
        return;
    // Room for a few at once: grown from nothing one message at a time, the list would be made
    // anew for the first, the second and the third message after each check that emptied it.
    if (client->unacknowledged.capacity() == 0)
        client->unacknowledged.reserve(kUnacknowledgedRoom);
    // The acknowledgements are asked for once so many messages wait, not per message.
    client->unacknowledged.push_back({client->socket->handedOver(), framed, offlineId});
    if (client->unacknowledged.size() == 1)
        acknowledging_.insert(client->id);
    if (client->unacknowledged.size() >= client->checkAt)
        noteAcknowledged(client);
}

void MessageServer::dropNonReader(Client* client, const QByteArray& framed, qint64 offlineId)
{
    if (!framed.isEmpty()) {
        client->unacknowledged.push_back({client->socket->handedOver() + 1, framed, offlineId});
        acknowledging_.insert(client->id);
    }
    logLine(QStringLiteral("%1: not reading its messages, connection dropped").arg(client->who()));
    // The reset first: what the peer acknowledged up to it is known then, and the loss of the
    // connection gives back the rest, so nothing is both delivered and kept.
    client->socket->abort();
}

void MessageServer::noteAcknowledged(Client* client)
{
    auto& waiting = client->unacknowledged;
    const qint64 acknowledged = client->socket->acknowledged();
    while (!waiting.empty() && waiting.front().end <= acknowledged) {
        if (waiting.front().offlineId != 0)
            client->offlineToRemove.append(waiting.front().offlineId);
        waiting.pop_front();
        metrics::count(metrics::Counter::MessagesDelivered);
    }
    if (waiting.empty())
        waiting = QList<Client::Unacknowledged>();
    client->checkAt = waiting.size() + kAcknowledgementCheck;
    // Removed by their ids: a range would take rows committed late that were never read.
    if (!client->offlineToRemove.isEmpty()) {
        if (store_.dropOffline(client->name, client->offlineToRemove)) {
            for (const qint64 id : std::as_const(client->offlineToRemove))
                client->offlineSent.remove(id);
            client->offlineToRemove.clear();
        } else
            logLine(QStringLiteral("%1: delivered offline messages could not be removed: %2")
                        .arg(client->who(), store_.lastError()));
    }
}

int MessageServer::giveBack(Client* client)
{
    // What the peer has not acknowledged was taken from its senders: it goes back to the offline
    // queue, after what waits there; a queue row not acknowledged is still there.
    noteAcknowledged(client);
    int kept = 0;
    if (!client->name.isEmpty()) {
        const QString created = stamp().local.toString(Qt::ISODate);
        for (const Client::Unacknowledged& u : client->unacknowledged) {
            if (u.offlineId == 0)
                store_.queueOffline(created, client->name, fieldOfFrame(u.framed).toByteArray(),
                                    false);
            ++kept;
        }
        metrics::count(metrics::Counter::MessagesGivenBack, quint64(kept));
        if (kept > 0)
            store_.flushOffline(); // or kept and retried
        // The user may be on another node already, its queue read there.
        if (kept > 0 && node_ && !shuttingDown_ && online_.value(client->name) == nullptr)
            node_->queuedMeanwhile({client->name});
    }
    client->unacknowledged = QList<Client::Unacknowledged>();
    return kept;
}

void MessageServer::handBack(Client* client)
{
    const int kept = giveBack(client);
    if (kept > 0)
        logLine(QStringLiteral("%1: %2 unacknowledged message(s) kept for its next log-on")
                    .arg(client->who())
                    .arg(kept));
    Client* next = online_.value(client->name);
    if (next && next != client && next->predecessor == client->id) {
        next->predecessor = 0;
        pump(next);
    }
}

void MessageServer::routeLater(Client* client, const QList<QByteArray>& fields)
{
    routeLater(client, fields.join(kSeparator));
}

void MessageServer::routeLater(Client* client, const QByteArray& message)
{
    // The message waits, and the connection's later input behind it, until the store answers.
    holdInput(client, message, kStoreRetryMs);
}

void MessageServer::holdInput(Client* client, const QByteArray& message, qint64 ms)
{
    client->held.prepend({InboundPiece::Message, message});
    client->checking = true;
    client->storeWait = true;
    client->socket->pauseReading(true);
    QTimer::singleShot(ms, this, [this, id = client->id] {
        Client* c = clientById(id);
        if (!c)
            return;
        c->checking = false;
        c->storeWait = false;
        updateReading(c);
        resumeInput(c);
    });
}

void MessageServer::checkStore()
{
    store_.forgetFailedReads();
    // Without a working store for so long, a restart by the service manager is the best hope.
    if (storeLost_ || store_.failingForMs() < qint64(limits_.storeTimeoutSeconds) * 1000)
        return;
    storeLost_ = true;
    logLine(QStringLiteral("storage: no working database for %1 s; leaving")
                .arg(limits_.storeTimeoutSeconds));
    emit storeLost();
}

} // namespace wispline::server
