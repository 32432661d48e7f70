#pragma once
// The connection to the message server: opening it, the log-on, the three timers that keep it
// alive, the reaction to the socket's events, the log-out, and the reading of inbound chunks.
// It knows no window: everything it needs of the main window goes through LinkHost.
#include "link/InboundDispatcher.h"
#include "link/LinkWriter.h"
#include "link/Reassembler.h"

#include <QAbstractSocket>
#include <QLoggingCategory>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>

class QTcpSocket;
class QSslSocket;
class QSslError;

Q_DECLARE_LOGGING_CATEGORY(lcLink)

namespace wispline
{

class LinkHost
{
public:
    virtual ~LinkHost() = default;
    virtual QString connectionMode() const = 0; // the log-on window's mode box text
    virtual QString adapterCaption() const = 0; // the log-on window's adapter address label
    virtual void setCaption(const QString& title) = 0;
    virtual void setComposeEnabled(bool enabled) = 0;
    virtual bool levelFramesHidden() const = 0; // both level frames are hidden
    virtual void showLayoutForLevel() = 0;      // the small or large layout for the level
    // The link broke: who was connected is no longer known and nothing can be sent.
    virtual void linkLost() = 0;
    virtual void saveMessageLog(bool disconnected) = 0;
    virtual void removeTrayIcon() = 0;
    virtual void stopFlashing() = 0;
    virtual InboundHandler& inbound() = 0;
};

class ServerLink : public QObject, public LinkWriter
{
    Q_OBJECT
public:
    struct Timing {
        int connectMs = 60000;
        int enableMs = 1000;
        int handshakeMs = 500;
        int handshakeTicks = 900; // silent ticks before a handshake (450 s)
        int waitMs = 10000;       // longest wait for a connection
        // After a link that was logged on is lost: the first attempt at a random moment in
        // this range (the users of a restarted server do not all come back at once), then
        // attempts at doubling intervals from reconnectStepMs, each a random 50-100 % of its
        // step, never more than connectMs.
        int reconnectFirstMinMs = 1000;
        int reconnectFirstMaxMs = 5000;
        int reconnectStepMs = 2000;
    };

    explicit ServerLink(LinkHost& host, QObject* parent = nullptr);
    ~ServerLink() override;

    // Intervals are as the program needs them; tests shorten them.
    void setTiming(const Timing& timing);
    const Timing& timing() const { return timing_; }

    // The random part of the reconnect schedule: a number from 0 to `bound`, both included.
    // Tests fix it.
    void setRandom(std::function<int(int bound)> random);

    // Starts the timers that run from the window's load.
    void start();

    // LinkWriter: connected, and the log-on on this connection answered. Before the answer the
    // server takes nothing but the log-on (anything else would make it close the connection).
    bool isConnected() const override;
    bool send(const QString& message) override;
    // The socket is connected (state 7), its handshake done when encrypted.
    bool socketConnected() const;
    // The server answered the log-on of this connection with a level.
    void logOnAnswered();
    bool hasLoggedOn() const { return everLoggedOn_; }
    // A reconnect attempt is under way or due.
    bool reconnecting() const { return attempting_ || ReconnectTimer.isActive(); }

    // Replaces the socket (tests use one that fails in its own way); the link owns it.
    void useSocket(QTcpSocket* socket);

    void ConnectToRemoteServer();
    void SendLogout();
    void closeIfConnected();
    // While held, a lost link is not reopened; a reopening that fell due runs on release.
    void holdReconnects(bool hold);

    // How the program ends: by the user's choice (the caller has saved the message log with its
    // disconnection line; status 0), or for any other cause (status 1).
    enum class End { UserChoice, Failure };
    // Every end of the program passes here: the link stops, messages still queued are handled
    // or at least go into the message area, the message log is saved unless the caller did,
    // one line naming the cause goes to standard error, then the process ends.
    void terminate(const char* where, End end = End::Failure);
    bool hasEnded() const { return ended_; }
    bool isInternetMode() const;

    QString loggedOnTitle() const;
    QString connectedTitle() const;
    QString lostTitle() const;     // set on activation while not connected
    QString shutdownTitle() const; // set by the server's shutdown notice
    QString resetTitle() const;    // set when the connection is reset

    // Socket and timer handlers.
    void tcpClient_Connect();
    void tcpClient_Close();
    void tcpClient_Error();
    void tcpClient_DataArrival();
    // Hands everything already received (the socket's buffer included) to the window, except
    // the messages that would open a box: an end that is about to save the log runs it first.
    void handleReceived();
    void ConnectTimer_Timer();
    void EnableTimer_Timer();
    void HandshakeTimer_Timer();
    // What the socket reports as an error: an orderly close by the server ends the program;
    // a reset and any other error are a lost link.
    void onSocketError(QAbstractSocket::SocketError error);

    QTcpSocket* tcpClient = nullptr;
    QTimer ConnectTimer;
    QTimer EnableTimer;
    QTimer HandshakeTimer;
    QTimer ReconnectTimer; // the next attempt after a lost link

    std::int16_t LoginFlag = 0;
    bool ShuttingDown = false;
    std::int16_t ConnectRetryCount = 0;
    std::int16_t HandshakeCount = 0;

    const QByteArray& PendingData() const { return reassembler_.pending(); }
    bool isWaiting() const { return waiting_; }

signals:
    void ended();

private:
    void openSocket();
    void closeSocket();
    // Reopens a broken link on the next turn of the event loop, or once reconnects are no
    // longer held.
    void reopenNextTurn();
    // A link that was logged on broke, or an attempt to reopen it failed: the next attempt
    // follows the schedule; nothing ends the program but the server's decisions and the user.
    void lost(bool wasUp);
    void scheduleReconnect();
    int nextReconnectDelay();
    void attemptReconnect();
    void attemptEnded();
    void showFluctuationNotice();
    // Writes to the socket whatever the log-on state (the log-on itself, handshake, log-out).
    bool write(const QString& message);
    // The same dead-peer detection as the server's: a vanished path becomes a socket error.
    void keepAlive();
    void watchConnection();
    void unwatchConnection();
    bool peerReset() const;
    void drainQueue();
    // At the server's close: what it said last is handled first, and a message that ends the
    // program (its box shown) ends it. False when none came.
    bool handleLastWord();
    void readIntoReassembler();
    void dispatchReceived();
    void handleHeld();
    void postDispatch();
    bool openAndWait(); // opens a new connection and waits until it is made or has failed
    // Encrypted links: the handshake is done and the server's certificate verified before the
    // link counts as connected; a certificate problem ends the program after one box.
    QSslSocket* sslSocket() const;
    void onSslErrors(const QList<QSslError>& errors);
    void onEncrypted();
    void yieldOnce();

    LinkHost& host_;
    Timing timing_;
    wire::Reassembler reassembler_;
    bool waiting_ = false;
    // Messages that open a box wait here, in order, until no box of ours is open; the others
    // are handled as they arrive, so alerts never wait behind a box.
    std::deque<wire::InboundMessage> held_;
    bool inBox_ = false;
    bool dispatchPosted_ = false;
    bool reconnectsHeld_ = false;
    bool reconnectDue_ = false;
    bool linkUp_ = false;       // a connection was made and not closed by us since
    bool loggedOn_ = false;     // this connection's log-on was answered with a level
    bool everLoggedOn_ = false; // some connection's log-on was: the program has logged on
    bool attempting_ = false;   // a scheduled reconnect attempt is connecting
    int reconnectStep_ = 0;     // attempts since the last log-on
    int unansweredTicks_ = 0;   // EnableTimer ticks since a re-log-on went out unanswered
    bool noticeOpen_ = false;   // the fluctuation notice is on screen
    bool noticeDue_ = false;    // held behind the shutdown question
    QTimer attemptLimit_;
    std::function<int(int)> random_;
    bool ended_ = false;
    bool encrypting_ = false;  // the present connection is to be encrypted
    QString tlsProblem_;       // why the server's certificate was refused, in plain words
    QByteArray sessionTicket_; // the server's last, offered again on reconnecting
    // A second descriptor of the connected socket: it keeps the kernel's view of the connection
    // alive after Qt closes its own, so an orderly close and a reset can be told apart.
    int watchFd_ = -1;
};

} // namespace wispline
