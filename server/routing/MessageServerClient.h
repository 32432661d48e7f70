#pragma once
// The message server's view of one client connection, and the limits and texts its parts share:
// the routing (MessageServer.cpp), the way in (MessageServerLogOn.cpp) and the long outputs
// (MessageServerDelivery.cpp).
#include "base/ServerRules.h"
#include "base/SlotPool.h"
#include "net/ClientConnection.h"
#include "routing/FairShare.h"
#include "routing/MessageServer.h"
#include "store/ServerStore.h"

#include <QDate>
#include <QSet>
#include <QTimer>
#include <atomic>
#include <optional>

namespace wispline::server
{

inline const QByteArray kInvalidLogon = QByteArrayLiteral("Invalid user name or password.");
inline const QByteArray kEncryptedOnly =
    QByteArrayLiteral("This server accepts encrypted connections only.");
inline const QByteArray kOtherLogon =
    QByteArrayLiteral("You have been logged off because your user name logged on elsewhere.");
inline const QByteArray kPasswordChanged = QByteArrayLiteral("Password changed successfully.");
inline const QByteArray kPasswordNotChanged =
    QByteArrayLiteral("The password could not be changed. Please try again later.");
inline const QByteArray kPasswordInDirectory =
    QByteArrayLiteral("Your password is kept in the organisation's directory. Please change it "
                      "there.");

// Rows of an offline backlog or of the day's messages sent in one go, and the output below
// which the next batch is sent.
inline constexpr int kBatchRows = 256;
// The day's messages are read a smaller batch at a time, each when the one before has gone.
inline constexpr int kDayBatchRows = 128;
inline constexpr qint64 kPumpLowWater = 256 * 1024;
// Messages waiting for their acknowledgement after which the socket is asked again; and how
// often every connection is asked anyway.
inline constexpr qsizetype kAcknowledgementCheck = 64;
inline constexpr int kAcknowledgementCheckMs = 1000;
// A message whose recipients could not be looked up is tried again after this long.
inline constexpr int kStoreRetryMs = 1000;

// What a connection sends while its password is checked waits, up to this much; more closes it.
inline constexpr qsizetype kMaxHeldBytes = 4096;
// Bytes read from one connection in one turn of the event loop; the rest waits for the next.
inline constexpr qint64 kReadBudget = 128 * 1024;
// Lines one connection may put in the log; what it causes beyond that is counted.
inline constexpr int kLogBudget = 50;
// Recipients looked up for one connection: kNamedBurst at once, kNamedPerSecond over time;
// names known to exist are remembered, up to kMaxKnownNames.
inline constexpr double kNamedBurst = 2 * kMaxRecipients;
inline constexpr double kNamedPerSecond = 200;
inline constexpr qsizetype kMaxKnownNames = 200000;
// Password changes: a connection may ask for kPasswordChangeBurst at once, then one per
// kPasswordChangeGapMs.
inline constexpr double kPasswordChangeBurst = 3;
inline constexpr qint64 kPasswordChangeGapMs = 60000;
// Day downloads: a user may start kDayBurst at once, then one per kDayGapMs.
inline constexpr double kDayBurst = 5;
inline constexpr qint64 kDayGapMs = 10000;

// A value from a client, for the log: control characters shown as ".", long ones cut.
QString shown(const QString& value);
QString shown(const QByteArray& bytes);
// The command word and the rest of a message, for the log; long texts are cut.
QString excerpt(const QByteArray& bytes);

// Kept in fixed slots, many to a chunk, apart from the log-on's short-lived blocks (see SlotPool).
struct MessageServer::Client : Pooled<MessageServer::Client, 64> {
    // Ordered by size, so that no field pads the record: one is kept per connection.
    quint64 id = 0;
    MessageServer* server = nullptr; // for the connection's events
    std::unique_ptr<ClientConnection> socket;
    InboundSplitter splitter;
    qint64 settleAt = -1; // ms on clock_ when its unfinished input is looked at again
    double namedLeft = kNamedBurst;
    qint64 namedAt = 0; // ms on clock_
    qint64 unlogged = 0;
    QByteArray name; // set once logged on, to bytes kept for good (see InternedNames.h)
    // An account kept in a directory: the password the session logged on with (the server keeps
    // none of its own), for a password change there and the day's messages.
    QByteArray password;
    // While its log-on is checked off the thread, a connection's later messages wait here, in
    // order; a close meanwhile is acted on once the answer is back.
    QList<InboundPiece> held;
    qsizetype heldBytes = 0;
    // Password changes the connection may still ask for now, and when that was worked out.
    double changesLeft = kPasswordChangeBurst;
    qint64 changesAt = 0; // ms on clock_

    // The messages handed to the socket that its peer has not acknowledged yet, each with the
    // end of its bytes in the connection's output; looked at again once this many wait.
    struct Unacknowledged {
        qint64 end = 0;
        QByteArray framed;    // as sent: its display text is fieldOfFrame(framed)
        qint64 offlineId = 0; // its queue row, removed once acknowledged
    };
    // A list holds nothing while empty (a deque keeps a block even then), and is let go once
    // drained, so an idle connection keeps no storage here.
    QList<Unacknowledged> unacknowledged;
    qsizetype checkAt = kAcknowledgementCheck;
    QList<qint64> offlineToRemove; // queue rows acknowledged, to be removed by their ids
    QSet<qint64> offlineSent;      // queue rows handed over and not removed yet
    // The session this one replaced, while it is closing: what it gives back comes first.
    quint64 predecessor = 0;

    // Long outputs are read from the store a batch at a time and handed over row by row.
    qint64 backlogAfter = 0; // the highest row handed over
    QList<OfflineMessage> backlogRows;
    qsizetype backlogNext = 0;
    QDate day;
    qint64 dayUpTo = 0;  // the last message committed when asked for
    qint64 dayAfter = 0; // the last row sent

    // What it may cost the others (MessageServerFairShare.cpp); made at its first message.
    std::optional<FairShare> share;
    quint64 keptUpTo = 0;   // its messages' writes for offline users, as the store counts them
    quint64 keptBefore = 0; // the store's count as its message was taken

    PeerAddress remote;   // the peer's address alone
    int failedLogOns = 0; // in a row on this connection
    int logBudget = kLogBudget;
    int level = 0;
    int backlogCount = 0; // rows handed over
    quint16 port = 0;     // the peer's port

    bool settled = false;   // the settle time has passed over what waits: next, the close time
    bool anonymous = false; // counted by the listener until logged on
    bool loggedOn = false;
    bool directory = false;        // an account kept in a directory (see password)
    bool heldForDirectory = false; // its log-on waits for the directory (logged once)
    bool gone = false;
    bool checking = false;  // its log-on is checked off the thread (see held)
    bool slowed = false;    // not read for a while: it asked for more than its share
    bool storeWait = false; // a message waits for the store to answer, the rest behind it
    bool lost = false;
    bool backlog = false; // offline messages still to hand over
    bool backlogAllRead = false;
    bool backlogSwept = false;   // and then the rows committed late below the highest one
    bool backlogWaits = false;   // for the store, which could not read the queue
    bool dayAsked = false;       // a download asked for and not yet ended
    bool dayStream = false;      // the day's messages still to send
    bool dayReading = false;     // a batch is being read
    bool storeHeld = false;      // among the largest writers while the store cannot keep up
    bool fairHeld = false;       // its input waits for its share (or its writes), not read
    bool pauseLogged = false;    // the first pause over its budgets went to the log
    bool longBodyLogged = false; // the first body past the bound did

    QByteArray address() const { return addressOf(name, level); }
    // Made when logged: kept, it would cost every connection a string for good.
    QString peer() const { return QStringLiteral("%1:%2").arg(remote.toString()).arg(port); }
    QString who() const
    {
        return loggedOn ? QStringLiteral("#%1 %2").arg(id).arg(fromWire(name))
                        : QStringLiteral("#%1 %2").arg(id).arg(peer());
    }
};

} // namespace wispline::server
