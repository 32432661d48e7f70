#pragma once
// One client's TCP connection, kept lean: its descriptor, an entry in the event dispatcher's
// table in place of read and write notifiers, and the output the kernel has not taken yet. A
// QTcpSocket holds a read buffer of 16 KB or more for good once it has read anything, which at a
// thousand connections is most of the server's memory; here input goes straight from the kernel
// into the caller's buffer.
#include "base/SlotPool.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <cstdint>
#include <memory>

class QTimer;

namespace wispline::server
{

class TlsSession;

// The peer of a connected descriptor.
QHostAddress peerAddressOf(int descriptor, quint16* port = nullptr);

// An IP address kept for as long as a connection lasts: its 16 bytes (and a link-local one's
// interface) in place, where its text would take a string and a block of the heap. The text is
// made when asked for, the same as QHostAddress::toString().
class PeerAddress
{
public:
    PeerAddress() = default;
    explicit PeerAddress(const QHostAddress& address);
    explicit PeerAddress(const QString& text) : PeerAddress(QHostAddress(text)) {}
    QHostAddress toAddress() const;
    QString toString() const;
    operator QString() const { return toString(); }

private:
    Q_IPV6ADDR bytes_{};
    quint32 scope_ = 0; // the interface index of a scoped address
    quint8 family_ = 0; // 0: none, 4 or 6
};

// Kept in fixed slots beside the other connections' (see SlotPool), as long-lived as its record.
class ClientConnection : public Pooled<ClientConnection, 256>
{
public:
    // Takes a connected descriptor, which the listener set to reset when closed: only
    // disconnectFromHost() and the peer's own close end it in order. A peer that acknowledges
    // nothing for deadPeerSeconds (its path gone without a packet) fails the connection; a close
    // gets closeTimeMs to have its output acknowledged, then the connection is reset.
    // With a TLS session (its handshake done), input and output go through it.
    ClientConnection(int descriptor, int deadPeerSeconds, int closeTimeMs,
                     std::unique_ptr<TlsSession> tls = nullptr);
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    // What the connection tells its owner, each with the owner given to setEvents(): one
    // table for all connections, where a callable each would cost 32 bytes apiece. Plain
    // functions, not virtual ones: the undefined-behaviour checker looks a virtual call's type up
    // through a pipe the first time, which fails when the process is out of descriptors.
    struct Events {
        // Input (or its end) waits; read() until it returns 0.
        void (*readyRead)(void* owner);
        // Waiting output has gone to the kernel.
        void (*bytesWritten)(void* owner);
        // Once, when the connection is closed by either side or fails.
        void (*disconnected)(void* owner);
        // Before disconnected(), when the connection fails other than by a peer's close.
        void (*failed)(void* owner, const QString& reason);
    };
    // None: nothing is told.
    void setEvents(const Events* events, void* owner)
    {
        events_ = events;
        owner_ = owner;
    }

    // True until the peer closes, the connection fails or a close is asked for.
    bool isConnected() const { return state_ == State::Connected; }
    bool isEncrypted() const { return tls_ != nullptr; }
    // The protocol and cipher of an encrypted connection, for the log; empty when plain.
    QString encryption() const;

    // Up to size bytes; 0 when nothing waits. The end of the input, or a failure, closes the
    // connection (disconnected() follows once the caller returns to the event loop).
    qint64 read(char* data, qint64 size);
    // A paused connection is not read: its input waits in the kernel, and the peer is slowed
    // by TCP. Its close is still noticed while nothing else waits.
    void pauseReading(bool paused);
    // True when the peer has closed its side (a paused connection may not have noticed yet).
    bool peerClosed() const;
    // Hands bytes over: what the kernel does not take at once waits here for it.
    void write(const QByteArray& bytes);
    qint64 bytesToWrite() const { return out_.size() - outSent_; }
    // Bytes handed to write() so far, and of those the ones the peer's TCP has acknowledged:
    // one system call, so asked for now and then, not per message. Once closed, as at the close.
    qint64 handedOver() const { return handedOver_; }
    qint64 acknowledged() const;
    // Closes once the output is written and acknowledged, or resets the connection when that
    // takes longer than the close time; disconnected() follows.
    void disconnectFromHost();
    // Closes now, dropping the waiting output: a reset, unless the peer closed first and has
    // everything. disconnected() is called before this returns.
    void abort();
    // Hands the kernel nothing more: what it holds gets acknowledged (or not) and nothing else
    // goes in flight, so a reset that follows takes back only what the peer never got.
    void holdOutput();
    // Bytes the kernel holds that the peer has not acknowledged.
    qint64 inFlight() const;
    // Closes now with a reset whatever was acknowledged: the client reconnects after a reset,
    // where a close would end it.
    void reset();

private:
    enum class State { Connected, Closing, Closed };

    void onReadable();
    void onWritable();
    bool flush(); // false on failure
    void fail(const QString& reason);
    void closeNow();
    void lingerNot();     // the close that follows is a reset
    void lingerOrderly(); // the close that follows is orderly once all is acknowledged
    void checkClosing();
    void readOnIfDecrypted(); // plaintext the session holds is no event on the descriptor
    void watchReadable(bool on);
    void watchWritable(bool on);
    void updateWatch();
    // Runs work from the event loop, unless the connection is closed before.
    template <typename Work> void later(Work work);
    static void onReady(void* context, std::uint32_t readiness);

    const Events* events_ = nullptr;
    void* owner_ = nullptr;
    int fd_ = -1;
    State state_ = State::Connected;
    bool inputEnded_ = false;
    bool paused_ = false;
    bool outputHeld_ = false;
    QByteArray out_;
    qsizetype outSent_ = 0;
    qint64 handedOver_ = 0;
    qint64 acknowledgedAtClose_ = 0;
    int closeTimeMs_ = 0;
    std::unique_ptr<QTimer> closeTimer_; // while closing: checks the acknowledgements
    qint64 closeDeadline_ = 0;           // ms on the steady clock
    std::uint32_t ticket_ = 0;           // of the descriptor's watch in the dispatcher's table
    bool readable_ = false;              // asked for
    bool writable_ = false;
    std::unique_ptr<TlsSession> tls_;
    bool decryptedMayWait_ = false; // the last read took data: the session may hold more
    // Ends in order only where the protocol means to end the client (and the peer's own close);
    // any other close is a reset, TLS included: no close_notify before it.
    bool orderly_ = false;
};

} // namespace wispline::server
