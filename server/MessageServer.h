#pragma once
// The message server: accepts client connections, logs users on and routes their messages.
// Routing runs on one thread, driven by socket events; password key derivations go to worker
// threads and the store commits delivered messages on a thread of its own, so neither holds up
// anyone else's messages.
#include "InboundSplitter.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QThreadPool>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

namespace wispline::server
{

class ServerNode;
class ServerStore;
struct Account;

class MessageServer : public QObject
{
    Q_OBJECT
public:
    explicit MessageServer(ServerStore& store, QObject* parent = nullptr);
    ~MessageServer() override;

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    QHostAddress address() const { return server_->serverAddress(); }
    quint16 port() const { return server_->serverPort(); }

    // Stops accepting, tells every connected client the text in an SHT message and closes
    // every connection; closed() follows once all are gone.
    void shutDown(const QByteArray& text);

    // One node of several on a shared database: users connected to other nodes are reached
    // through it. Without one, this server is the only one.
    void setNode(ServerNode* node);

    int connectionCount() const { return int(clients_.size()); }
    int onlineCount() const { return int(online_.size()); }

    // A client that stops reading is dropped once this much output waits for it.
    static constexpr qint64 kMaxQueuedOutput = 8 * 1024 * 1024;
    // How long a message whose last field may go on waits for more bytes, by default.
    static constexpr int kDefaultSettleMs = 5;
    void setSettleTime(int ms) { settleMs_ = ms; }

    // Failed log-ons: after this many in a row for a user name or from an address, further
    // attempts are refused unchecked for a delay that doubles with each one; a connection is
    // closed after kFailuresPerConnection in a row.
    static constexpr int kFreeFailures = 5;
    static constexpr int kFirstDelayMs = 1000;
    static constexpr int kLongestDelayMs = 60000;
    static constexpr int kFailuresPerConnection = 10;

signals:
    void closed();

private:
    struct Client;

    void accept(int descriptor);
    void readFrom(Client* client);
    void settle(Client* client);
    void handlePieces(Client* client, const QList<InboundPiece>& pieces);
    void connectionLost(Client* client);
    void forget(Client* client);
    void endConnection(Client* client);
    void handle(Client* client, const QByteArray& message);

    void logOn(Client* client, const QList<QByteArray>& fields);
    struct LogOnCheck;
    void finishLogOn(Client* client, const LogOnCheck& check);
    // Runs work (a key derivation) on a worker, then then() here; the connection's later
    // messages wait for it, the other connections' do not.
    void offThread(Client* client, std::function<void()> work, std::function<void(Client*)> then);
    void refuseDayMessages(Client* client, const QByteArray& asked);
    void startDayMessages(Client* client);
    void refusePasswordChange(Client* client, const QString& problem);
    void resumeInput(Client* client);
    void completeLogOn(Client* client, const QString& userName, const Account& account,
                       const QList<QByteArray>& fields);
    void handshake(Client* client);
    void logOut(Client* client);
    void route(Client* client, const QList<QByteArray>& fields);
    void sendDayMessages(Client* client, const QList<QByteArray>& fields);
    void changePassword(Client* client, const QList<QByteArray>& fields);
    // What other nodes routed to users here: handed to them, or to the offline queues.
    void drainInbox();
    void goneFromHere(const QByteArray& name);

    // Long outputs (an offline backlog, the day's messages) go out a batch at a time as the
    // socket drains.
    void pump(Client* client);
    bool pumpBacklog(Client* client);
    bool pumpDayMessages(Client* client);
    void dropNonReader(Client* client, const QByteArray& display, qint64 offlineId);
    // Gives what the socket has not written through back to the offline queue; how many.
    int keepUnsent(Client* client);

    // Failed log-on bookkeeping for one user name or one address.
    struct Failures {
        int count = 0;
        qint64 last = 0;        // ms on clock_
        qint64 lockedUntil = 0; // ms on clock_
        bool logged = false;
    };
    bool throttled(const QString& name, const QString& address);
    void logOnFailed(Client* client, const QString& name, bool checked);
    void recordFailure(QHash<QString, Failures>& table, const QString& key, bool mayAdd,
                       const std::function<QString()>& what);

    // display: the text of an SND or OffL message, kept until written to the socket so that it
    // can go back to the offline queue if the client is dropped; offlineId its queue row.
    void send(Client* client, const QByteArray& framed, const QByteArray* display = nullptr,
              qint64 offlineId = 0);
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
    };
    const Stamp& stamp();

    ServerStore& store_;
    ServerNode* node_ = nullptr;
    std::unique_ptr<QTcpServer> server_;
    std::unordered_map<quint64, std::unique_ptr<Client>> clients_; // by id
    QHash<QByteArray, Client*> online_;
    std::vector<std::unique_ptr<Client>> departed_; // freed on the next turn of the event loop
    quint64 nextId_ = 1;
    bool shuttingDown_ = false;
    Stamp stamp_;
    int settleMs_ = kDefaultSettleMs;
    QElapsedTimer clock_;
    QHash<QString, Failures> failedNames_;
    QHash<QString, Failures> failedAddresses_;
    // Password key derivations (about 0.1 s each) run here, never on the routing thread.
    QThreadPool workers_;
    QByteArray readBuffer_;
};

} // namespace wispline::server
