#pragma once
// The message server: accepts client connections, logs users on and routes their messages.
// Routing runs on one thread, driven by socket events; password key derivations go to worker
// threads and the store commits delivered messages on a thread of its own, so neither holds up
// anyone else's messages.
#include "base/SlotPool.h"
#include "net/ClientConnection.h"
#include "net/InboundSplitter.h"
#include "net/Listener.h"
#include "routing/CheckQueue.h"
#include "routing/FairShare.h"
#include "routing/LogOnGate.h"
#include "store/DayReader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace wispline::server
{

class ServerNode;
class ServerStore;
class TlsContext;
class TlsHandshaker;
struct Account;

class MessageServer : public QObject
{
    Q_OBJECT
public:
    explicit MessageServer(ServerStore& store, QObject* parent = nullptr);
    ~MessageServer() override;

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    QHostAddress address() const { return listener_.address(); }
    quint16 port() const { return listener_.port(); }

    // How the users learn of the server's end.
    enum class Ending {
        // A stop, an upgrade, a hang-up, the database lost: the server (or another node) is
        // there again soon. The users are handed over (see handOver()): their clients
        // reconnect, and nobody's program ends.
        Reset,
        // An operator ended the service: every client is told the text in an SHT message,
        // which ends its program, and each connection is closed in order, whether or not
        // another node lives (every node is told the same).
        Announce,
    };
    // Stops accepting and ends every connection; closed() follows once all are gone.
    void shutDown(Ending ending, const QByteArray& text = {});

    // One node of several on a shared database: users connected to other nodes are reached
    // through it. Without one, this server is the only one.
    void setNode(ServerNode* node);

    int connectionCount() const { return int(clients_.size()); }
    // Read-only, for readiness and the metrics.
    bool isListening() const { return !shuttingDown_ && listener_.port() != 0; }
    bool isShuttingDown() const { return shuttingDown_; }
    int checksWaiting() const { return checks_.waiting() + checks_.running(); }
    int onlineCount() const { return int(online_.size()); }

    // A client that stops reading is dropped once this much output waits for it.
    static constexpr qint64 kMaxQueuedOutput = 8 * 1024 * 1024;
    // How long a message whose last field may go on waits for more bytes, by default.
    static constexpr int kDefaultSettleMs = 5;
    void setSettleTime(int ms) { settleMs_ = ms; }

    // A connection is closed after kFailuresPerConnection failed log-ons in a row, and when it
    // has not logged on within the log-on time.
    static constexpr int kFailuresPerConnection = 10;
    static constexpr int kDefaultLogOnTimeMs = 30000;
    // A peer that answers nothing (its path gone) is noticed within this time, and a connection
    // being closed gets this long to have its output acknowledged before it is reset.
    static constexpr int kDefaultDeadPeerSeconds = 60;
    static constexpr int kDefaultCloseTimeMs = 15000;
    static constexpr int kDefaultStoreTimeoutSeconds = 60;
    // Limits on what a connection not logged on can hold and cost; defaults in their classes.
    struct Limits {
        int maxAnonymous = Listener::kDefaultMaxAnonymous;
        int maxAnonymousPerAddress = Listener::kDefaultMaxAnonymousPerAddress;
        int maxChecks = 0;           // 0: one per core
        int maxChecksPerAddress = 0; // 0: half of maxChecks
        int logOnTimeMs = kDefaultLogOnTimeMs;
        int deadPeerSeconds = kDefaultDeadPeerSeconds;
        int closeTimeMs = kDefaultCloseTimeMs;
        int storeTimeoutSeconds = kDefaultStoreTimeoutSeconds;
        // What a logged-on connection may cost the others each second.
        FairShare::Rates rates;
    };
    void setLimits(const Limits& limits);

    // With a certificate and key (PEM), a connection whose first byte opens a TLS handshake
    // is encrypted, any other is plain; false with a reason when they cannot be used. Set
    // before listen().
    bool useTls(const QString& certificateFile, const QString& keyFile, QString* error);
    // Plain log-ons are refused unchecked.
    void setRequireTls(bool required) { requireTls_ = required; }
    // The server key (see crypto::loadServerKey()) under which a password that passed a full
    // check is kept as a fast verifier; without one every log-on takes the full check.
    void setVerifierKey(const QByteArray& key);
    // Replaces the full check of a log-on's password (see FullCheck).
    void setFullCheck(FullCheck check) { fullCheck_ = std::move(check); }
    // Accounts kept in a directory (Account::directory; the full check asks it): a verifier of
    // theirs answers first for recheckSeconds after its full check, and after that only while
    // the directory does not answer; a password change is made there by change, on a worker, or
    // refused without one. Without a directory their verifiers let nobody in.
    void setDirectory(int recheckSeconds, DirectoryPasswordChange change);

signals:
    void closed();
    // The store has failed for the store time without a success: the server should end.
    void storeLost();

private:
    struct Client;
    // Each connection's events, with its client as the owner.
    static const ClientConnection::Events kConnectionEvents;
    struct ConnectionEvents;

    void accept(int descriptor);
    // Where a connection came from, taken at its accept: a peer gone during its handshake has
    // no address to ask for any more.
    struct Arrival {
        QString remote; // the address
        QString peer;   // address:port
        qint64 deadline = 0;
        quint16 port = 0;
    };
    // A connection admitted by the listener, plain or with its TLS handshake done.
    void adopt(quint64 id, int descriptor, std::unique_ptr<ClientConnection> socket,
               const Arrival& arrival);
    struct Handshake;
    void handshakeDone(Handshake& outcome);
    Client* clientById(quint64 id) const; // nullptr once gone
    // A connection is read unless its password is being checked or it is slowed down.
    void updateReading(Client* client);
    void slowDown(Client* client, qint64 ms);
    bool mayLookUp(Client* client, qsizetype names);
    void readFrom(Client* client);
    void settle(Client* client);
    // One timer serves every connection whose unfinished input waits: a connection costs an
    // entry here while that lasts, and nothing once idle.
    void settleIn(Client* client, int ms);
    void stopSettling(Client* client);
    void settleDue();
    void handlePieces(Client* client, const QList<InboundPiece>& pieces);
    void connectionLost(Client* client);
    void forget(Client* client);
    void endConnection(Client* client);
    void handle(Client* client, const QByteArray& message);

    void logOn(Client* client, const QList<QByteArray>& fields);
    // The verifier of a record that may answer a log-on; empty when none (or it is stale).
    QByteArray freshVerifier(const LogOnRecord& record);
    bool verifierMatches(const PasswordCheck& check) const;
    // Once per check, whoever waits for it: the throttling, a renewed hash, the verifier and the
    // known address. True when it succeeded (it then answers the same log-on for a while).
    bool checkFinished(PasswordCheck& check, const QString& address);
    // Each connection that waited for the check, in the order they asked.
    void answerLogOn(Client* client, const PasswordCheck& check, const QList<QByteArray>& fields);
    void refuseThrottled(Client* client);
    // Runs work (a key derivation) on a worker in its turn, then then() here; the connection's
    // later messages wait for it, the other connections' do not. Work carriedOut runs, and
    // then() with it, even when the connection goes meanwhile.
    void offThread(Client* client, std::function<void()> work, std::function<void(Client*)> then,
                   bool carriedOut = false);
    void waitForCheck(Client* client);
    void checkDone(quint64 id, bool ran, const std::function<void(Client*)>& then, bool carriedOut);
    // The connection goes: false when its check is carried out all the same (it waits for it).
    bool leaveCheck(Client* client);
    // A connection not logged on is closed at its deadline (ms on clock_).
    void setLogOnDeadline(quint64 id, qint64 at);
    void answerLogOnLater(Client* client, qint64 delayMs);
    void closeLateLogOns();
    void refuseDayMessages(Client* client, const QByteArray& asked);
    void checkDayMessages(Client* client, const QByteArray& password);
    void checkDayMessagesLater(quint64 id, const QByteArray& password, int delayMs);
    void startDayMessages(Client* client, qint64 upTo);
    void refusePasswordChange(Client* client, const QString& problem);
    // The directory's side (MessageServerDirectory.cpp): its account as it found it, stored;
    // a log-on it could not check, held; a password changed there.
    void keepDirectoryAccount(Account& account);
    void holdForDirectory(Client* client, const PasswordCheck& check,
                          const QList<QByteArray>& fields);
    void changeDirectoryPassword(Client* client, const QByteArray& newPassword);
    void resumeInput(Client* client);
    void completeLogOn(Client* client, const QString& userName, const Account& account,
                       const QList<QByteArray>& fields);
    void handshake(Client* client);
    void logOut(Client* client);
    // A message's five fields read in place, and the message they are read from.
    using SendFields = std::array<QByteArrayView, 5>;
    void route(Client* client, const QByteArray& message, const SendFields& fields);
    void sendDayMessages(Client* client, const QList<QByteArray>& fields);
    void beginDayMessages(quint64 id, const QByteArray& password, const QByteArray& asked);
    void changePassword(Client* client, const QList<QByteArray>& fields);
    // What other nodes routed to users here: handed to them, or to the offline queues.
    void drainInbox();
    void goneFromHere(const QByteArray& name);
    // Users of another node (empty: of dead nodes) came ("usrs") or went ("lgo"): one frame to each
    // client here, leaving out a user gone from another node who is connected here now.
    void usersElsewhere(const QByteArray& kind, const QString& node,
                        const QList<QByteArray>& addresses);
    // After this node was taken for dead (a stall): ends the sessions of users who logged on to
    // another node meanwhile, records the others here again and tells the other nodes in one
    // USRS, hands them what was queued for them meanwhile, and brings this node's clients' lists
    // up to date.
    void heal();
    // The user's offline queue grew after it was read (a heal, a session elsewhere that ended
    // late): the new rows follow.
    void readQueueAgain(Client* client);
    // A message went to a user's offline queue here: should the user turn out to have logged on
    // to another node meanwhile (its coming not heard yet), that node reads its queue again.
    void queuedHere(const QByteArray& name);
    // A user logged on here: the others hear it in one USRS with those of the same turn of the
    // event loop, so a crowd logging on at once (after the loss of a node) costs each client a
    // frame per turn, not one per user.
    void cameHere(Client* client);
    void tellCameHere();
    std::vector<quint64> cameHere_;
    // A user left here (its address): the others hear it at the end of the turn, each its LGO
    // frames of the turn in one write, so a crowd dropping at once costs a write per user left
    // on and turn, not one per user and leaver. Who came first is told first.
    void wentFromHere(const QByteArray& address);
    void tellWentFromHere();
    std::vector<QByteArray> wentFromHere_;
    QHash<QByteArray, qint64> queuedRecently_; // name, ms on clock_
    static constexpr int kQueuedRecentlyMs = 5000;
    // On a stop not announced: leaves the cluster, gives back what each user did not acknowledge
    // and resets every connection, so the clients reconnect to a live node, or to this server
    // started again, rather than end.
    void handOver();
    // Resets every connection once the peers have acknowledged what is in flight, or at the
    // deadline (ms on clock_).
    void resetWhenLanded(qint64 deadline);
    static constexpr int kLandingMs = 2000;
    static constexpr int kLandingCheckMs = 10;

    // Long outputs (an offline backlog, the day's messages) go out a batch at a time as the
    // socket drains.
    void pump(Client* client);
    bool pumpBacklog(Client* client);
    void readDayMessages(Client* client);
    void dropNonReader(Client* client, const QByteArray& framed, qint64 offlineId);
    // Forgets the messages the peer has acknowledged, and their queue rows.
    void noteAcknowledged(Client* client);
    // Gives what the peer has not acknowledged back to the offline queue; how many.
    int giveBack(Client* client);
    // At the end of a connection: gives back, then lets a session that replaced it go on.
    void handBack(Client* client);
    // A message whose recipients could not be looked up is tried again later.
    void routeLater(Client* client, const QList<QByteArray>& fields);
    void routeLater(Client* client, const QByteArray& message);
    // The message waits, and the connection's later input behind it, not read, for ms.
    void holdInput(Client* client, const QByteArray& message, qint64 ms);

    // Fair shares (MessageServerFairShare.cpp). A message is routed when its body is within
    // the bound, its connection within its budgets and the store takes messages (room on the
    // disk, and it keeps up with this connection's writes); one past the bound is refused,
    // otherwise it waits with what follows it, the connection not read.
    // now: ms on clock_ as the message was taken, read once for both.
    bool mayRoute(Client* client, const QByteArray& message, QByteArrayView body, qint64 now);
    // What a routed message cost: its recipients, those of them not connected here (their copy
    // is written) and the sizes of its body and its display text.
    void charge(Client* client, qint64 now, qsizetype recipients, qsizetype notHere, qsizetype body,
                qsizetype display);
    // Its writes for offline users are done a slice a turn: its input waits for the last.
    void holdUntilKept(Client* client);
    // A stop reads every connection before its reset: those paused here are let go.
    void releaseFairHolds();
    // While the store cannot keep up, the connections that wrote the most lately wait, largest
    // first, until it does; the others go on.
    bool storeCongested() const;
    void storeTick();
    void holdLargestWriters();
    qint64 storeBacklogBytes() const;
    qint64 lastBacklogBytes_ = 0;
    void checkStore();
    static constexpr int kStoreCheckMs = 100;

    void logOnFailed(Client* client);
    // Whether a line about this client may go to the log: each has a budget, and one summary
    // line counts what it cost beyond that when it goes.
    bool mayLog(Client* client);

    // kept: framed is an SND or OffL message, whose display text (its one field) is kept until
    // the peer acknowledges it, so that it can go back to the offline queue if the client is
    // dropped; offlineId its queue row. The frame itself is kept, shared with the output.
    void send(Client* client, const QByteArray& framed, bool kept = false, qint64 offlineId = 0);
    void broadcast(const QByteArray& framed, const Client* except);
    std::vector<Client*> onlineClients() const;
    // The local time, worked out once a second: converting to local time on every message
    // costs a time zone look-up each time.
    struct Stamp {
        qint64 second = -1;
        QDateTime local;
        QByteArray clock; // HH:mm:ss
        QString day;      // yyyy-MM-dd
        QString time;     // HH:mm:ss
        QString created;  // the local time in ISO 8601, for the offline queue
    };
    const Stamp& stamp();

    ServerStore& store_;
    ServerNode* node_ = nullptr;
    Listener listener_;
    // By id; its nodes live as long as their connections, in slots beside each other's.
    std::unordered_map<quint64, std::unique_ptr<Client>, std::hash<quint64>, std::equal_to<quint64>,
                       PoolAllocator<std::pair<const quint64, std::unique_ptr<Client>>>>
        clients_;
    QHash<QByteArray, Client*> online_;
    std::vector<std::unique_ptr<Client>> departed_; // freed on the next turn of the event loop
    quint64 nextId_ = 1;
    bool shuttingDown_ = false;
    bool offlineCommitDue_ = false; // a commit of what this turn kept is posted
    Stamp stamp_;
    int settleMs_ = kDefaultSettleMs;
    QElapsedTimer clock_;
    Limits limits_;
    // Connections not logged on, by id, in the order of their log-on deadlines (ms on clock_).
    std::deque<std::pair<quint64, qint64>> deadlines_;
    QTimer deadlineTimer_;
    // Connections whose unfinished input is looked at again, by due time (ms on clock_) and id.
    std::set<std::pair<qint64, quint64>> settling_;
    QTimer settleTimer_;
    QTimer acknowledgementTimer_;
    // The clients whose unacknowledged list is not empty (and some whose list emptied since):
    // the timer looks at these, not at every connection.
    std::unordered_set<quint64> acknowledging_;
    QTimer storeTimer_;
    bool storeLost_ = false;
    // Password key derivations (about 50 ms each) run there, in turn, never on the routing
    // thread; a log-on a fresh verifier answers needs none.
    LogOnGate gate_;
    CheckQueue checks_{this, gate_};
    FullCheck fullCheck_;
    int directoryRecheckSeconds_ = -1; // -1: no directory
    DirectoryPasswordChange directoryChange_;
    QByteArray verifierKey_;
    QByteArray verifierKeyId_;
    QByteArray joinKey_; // makes the key a log-on joins a check by; of this process only
    bool strangeKeyLogged_ = false;
    // Day downloads a user may still start now, and when that was worked out (ms on clock_).
    struct DayAllowance {
        double left = 0;
        qint64 at = 0;
    };
    QHash<QByteArray, DayAllowance> dayAllowance_;
    QSet<QByteArray> knownNames_; // account names looked up and found
    QByteArray readBuffer_;
    // The list a read's messages are cut into, kept between reads with its room (a read nested
    // in another one's handling makes its own).
    QList<InboundPiece> sparePieces_;
    std::unique_ptr<TlsContext> tls_;
    bool requireTls_ = false;
    // Connections whose first byte is awaited, or whose handshake runs, on a thread of their
    // own, by id.
    std::unordered_map<quint64, Arrival> handshaking_;
    std::unique_ptr<TlsHandshaker> handshaker_;
    DayReader dayReader_; // declared last: gone first, with its thread
};

} // namespace wispline::server
