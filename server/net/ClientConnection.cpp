#include "net/ClientConnection.h"

#include "base/ServerClock.h"
#include "net/EpollEventDispatcher.h"
#include "net/TlsSession.h"

#include <QNetworkInterface>
#include <QTimer>

#include <algorithm>
#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace wispline::server
{

namespace
{
// While closing, how often the peer's acknowledgements are looked at.
constexpr int kCloseCheckMs = 100;

// Bytes written to the kernel that the peer's TCP has not acknowledged yet.
qint64 unacknowledgedInKernel(int fd)
{
    int queued = 0;
    return fd >= 0 && ::ioctl(fd, SIOCOUTQ, &queued) == 0 ? qint64(queued) : 0;
}
} // namespace

QHostAddress peerAddressOf(int descriptor, quint16* port)
{
    QHostAddress peer;
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return peer;
    peer.setAddress(reinterpret_cast<const sockaddr*>(&address));
    if (port && address.ss_family == AF_INET)
        *port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    else if (port && address.ss_family == AF_INET6)
        *port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return peer;
}

PeerAddress::PeerAddress(const QHostAddress& address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v4 = address.toIPv4Address();
        std::memcpy(bytes_.c, &v4, sizeof v4);
        family_ = 4;
    } else if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        bytes_ = address.toIPv6Address();
        family_ = 6;
        const QString scope = address.scopeId();
        if (!scope.isEmpty()) {
            scope_ = quint32(QNetworkInterface::interfaceIndexFromName(scope));
            if (scope_ == 0)
                scope_ = scope.toUInt();
        }
    }
}

QHostAddress PeerAddress::toAddress() const
{
    QHostAddress address;
    if (family_ == 4) {
        quint32 v4 = 0;
        std::memcpy(&v4, bytes_.c, sizeof v4);
        address.setAddress(v4);
    } else if (family_ == 6) {
        address.setAddress(bytes_);
        if (scope_ != 0) {
            const QString name = QNetworkInterface::interfaceNameFromIndex(int(scope_));
            address.setScopeId(name.isEmpty() ? QString::number(scope_) : name);
        }
    }
    return address;
}

QString PeerAddress::toString() const
{
    return family_ == 0 ? QString() : toAddress().toString();
}

ClientConnection::ClientConnection(int descriptor, int deadPeerSeconds, int closeTimeMs,
                                   std::unique_ptr<TlsSession> tls)
    : fd_(descriptor), closeTimeMs_(closeTimeMs), tls_(std::move(tls))
{
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    // Messages are short and each answers someone: no waiting to fill a segment.
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A peer whose path is gone sends nothing, not even a reset: probes begin after half the
    // time of silence, and the connection ends once nothing has been acknowledged for the user
    // timeout. The kernel looks at that timeout only when a probe is due, so it ends a probe
    // interval or two before the time.
    const int idle = std::max(1, deadPeerSeconds / 2);
    const int interval = std::max(1, deadPeerSeconds / 10);
    const int count = std::max(1, (deadPeerSeconds - idle) / interval);
    const unsigned userTimeout =
        unsigned(std::max(idle + interval, deadPeerSeconds - 2 * interval)) * 1000;
    ::setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd_, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    EpollEventDispatcher* const dispatcher = EpollEventDispatcher::current();
    if (!dispatcher)
        qFatal("client connections need the epoll event dispatcher on their thread");
    readable_ = true;
    ticket_ =
        dispatcher->watch(fd_, &ClientConnection::onReady, this, EpollEventDispatcher::Readable);
    // The handshake may have read what the peer sent right after it.
    decryptedMayWait_ = tls_ != nullptr;
    readOnIfDecrypted();
}

ClientConnection::~ClientConnection()
{
    closeTimer_.reset();
    tls_.reset();
    if (fd_ >= 0) {
        // The watch goes before the descriptor: a number closed first may be reused at once.
        if (EpollEventDispatcher* const dispatcher = EpollEventDispatcher::current())
            dispatcher->unwatch(fd_);
        ::close(fd_);
    }
}

void ClientConnection::onReady(void* context, std::uint32_t readiness)
{
    auto* const connection = static_cast<ClientConnection*>(context);
    if (readiness & EpollEventDispatcher::Readable)
        connection->onReadable();
    else
        connection->onWritable();
}

template <typename Work> void ClientConnection::later(Work work)
{
    // The work runs if this watch still lasts by then: the ticket tells whether it does
    // (a closed connection is unwatched, and its number may be another's by then).
    EpollEventDispatcher* const dispatcher = EpollEventDispatcher::current();
    if (!dispatcher)
        return; // the event loop is gone: nothing runs later
    QTimer::singleShot(0, dispatcher, [dispatcher, fd = fd_, ticket = ticket_, work] {
        if (dispatcher->isWatching(fd, ticket))
            work();
    });
}

void ClientConnection::watchReadable(bool on)
{
    readable_ = on;
    updateWatch();
}

void ClientConnection::watchWritable(bool on)
{
    writable_ = on;
    updateWatch();
}

void ClientConnection::updateWatch()
{
    EpollEventDispatcher* const dispatcher = EpollEventDispatcher::current();
    if (fd_ < 0 || !dispatcher)
        return;
    dispatcher->setReadiness(fd_, (readable_ ? EpollEventDispatcher::Readable : 0) |
                                      (writable_ ? EpollEventDispatcher::Writable : 0));
}

QString ClientConnection::encryption() const
{
    return tls_ ? tls_->description() : QString();
}

void ClientConnection::readOnIfDecrypted()
{
    if (tls_ && decryptedMayWait_ && tls_->hasPending() && !paused_ && state_ == State::Connected &&
        !inputEnded_)
        later([this] { onReadable(); });
}

qint64 ClientConnection::read(char* data, qint64 size)
{
    if (fd_ < 0 || inputEnded_ || state_ == State::Closed)
        return 0;
    if (tls_) {
        bool ended = false;
        QString error;
        const qint64 n = tls_->read(data, size, &ended, &error);
        // Nothing more now means the session holds at most part of a record, which waits for
        // the descriptor; after data, whole records may wait in the session.
        decryptedMayWait_ = n > 0;
        if (!ended)
            return n;
        inputEnded_ = true;
        if (error.isEmpty())
            lingerOrderly(); // the peer ended in order: so do we
        else if (events_)
            events_->failed(owner_, error);
        watchReadable(false);
        later([this] { closeNow(); });
        return 0;
    }
    for (;;) {
        const ssize_t n = ::recv(fd_, data, std::size_t(size), 0);
        if (n > 0)
            return n;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        // The end of the input, or a failure: the connection is over once the caller is done.
        // The peer closed in order, so it gets an orderly close back (a reset still when some
        // output is not acknowledged).
        inputEnded_ = true;
        if (n == 0)
            lingerOrderly();
        if (n < 0 && errno != ECONNRESET && events_)
            events_->failed(owner_, QString::fromLocal8Bit(std::strerror(errno)));
        watchReadable(false);
        later([this] { closeNow(); });
        return 0;
    }
}

void ClientConnection::onReadable()
{
    if (!paused_) {
        if (events_)
            events_->readyRead(owner_);
        readOnIfDecrypted();
        return;
    }
    // Paused: a close with nothing before it ends the connection now; input stops the notifier
    // until the pause ends (the kernel keeps it, and tells the peer to wait).
    if (tls_ && decryptedMayWait_ && tls_->hasPending()) {
        watchReadable(false); // decrypted input waits: no close is before it
        return;
    }
    char byte;
    const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))) {
        watchReadable(false);
        return;
    }
    (void)read(&byte, 1); // nothing can follow the end or a failure: closes as usual
}

void ClientConnection::pauseReading(bool paused)
{
    paused_ = paused;
    if (state_ == State::Connected && !inputEnded_)
        watchReadable(true);
    readOnIfDecrypted();
}

bool ClientConnection::peerClosed() const
{
    if (fd_ < 0 || inputEnded_)
        return true;
    pollfd p{fd_, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

qint64 ClientConnection::acknowledged() const
{
    if (state_ == State::Closed)
        return acknowledgedAtClose_;
    if (tls_)
        return tls_->acknowledged(unacknowledgedInKernel(fd_));
    return handedOver_ - bytesToWrite() - unacknowledgedInKernel(fd_);
}

void ClientConnection::write(const QByteArray& bytes)
{
    if (state_ != State::Connected || bytes.isEmpty())
        return;
    handedOver_ += bytes.size();
    if (bytesToWrite() == 0) {
        out_ = bytes;
        outSent_ = 0;
    } else {
        out_.append(bytes);
    }
    if (outputHeld_ || !flush())
        return;
    if (bytesToWrite() > 0)
        watchWritable(true);
}

void ClientConnection::holdOutput()
{
    outputHeld_ = true;
    watchWritable(false);
}

qint64 ClientConnection::inFlight() const
{
    return unacknowledgedInKernel(fd_);
}

bool ClientConnection::flush()
{
    while (bytesToWrite() > 0) {
        QString reason;
        if (tls_) {
            // A record at most at a time: a write tried again is never shorter than before.
            const qint64 n = tls_->write(out_.constData() + outSent_,
                                         std::min<qint64>(bytesToWrite(), 16384), &reason);
            if (n > 0) {
                outSent_ += n;
                continue;
            }
            if (n == 0)
                return true;
        } else {
            const ssize_t n =
                ::send(fd_, out_.constData() + outSent_, std::size_t(bytesToWrite()), MSG_NOSIGNAL);
            if (n > 0) {
                outSent_ += n;
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return true;
            reason = QString::fromLocal8Bit(std::strerror(errno));
        }
        // Reported from the event loop: the caller may be in the middle of a write.
        watchWritable(false);
        later([this, reason] { fail(reason); });
        return false;
    }
    // All written: the buffer is let go, so an idle connection holds nothing.
    out_ = QByteArray();
    outSent_ = 0;
    return true;
}

void ClientConnection::onWritable()
{
    if (outputHeld_) {
        watchWritable(false);
        return;
    }
    if (!flush())
        return;
    if (bytesToWrite() == 0) {
        watchWritable(false);
        if (state_ == State::Closing) {
            checkClosing();
            return;
        }
    } else if (outSent_ > 1024 * 1024) {
        out_.remove(0, outSent_); // what went is not kept while much more waits
        outSent_ = 0;
    }
    if (events_)
        events_->bytesWritten(owner_);
}

void ClientConnection::disconnectFromHost()
{
    if (state_ != State::Connected)
        return;
    state_ = State::Closing;
    lingerOrderly();
    watchReadable(false);
    closeDeadline_ = clocks::steadyMs() + closeTimeMs_;
    closeTimer_ = std::make_unique<QTimer>();
    QObject::connect(closeTimer_.get(), &QTimer::timeout, closeTimer_.get(),
                     [this] { checkClosing(); });
    closeTimer_->start(kCloseCheckMs);
    checkClosing();
}

void ClientConnection::checkClosing()
{
    if (state_ != State::Closing)
        return;
    // Closed once the peer has everything; a peer gone (reset, or its path) acknowledges
    // nothing more, and one that does not read gets the close time.
    pollfd p{fd_, 0, 0};
    const bool broken = ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR));
    if (bytesToWrite() == 0 && unacknowledgedInKernel(fd_) == 0)
        closeNow();
    else if (broken || clocks::steadyMs() >= closeDeadline_)
        abort();
}

void ClientConnection::reset()
{
    if (state_ == State::Closed)
        return;
    lingerNot();
    closeNow();
}

void ClientConnection::lingerNot()
{
    orderly_ = false;
    const linger none{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &none, sizeof none);
}

void ClientConnection::lingerOrderly()
{
    orderly_ = true;
    const linger orderly{0, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &orderly, sizeof orderly);
}

void ClientConnection::abort()
{
    closeNow();
}

void ClientConnection::fail(const QString& reason)
{
    if (state_ == State::Closed)
        return;
    if (events_)
        events_->failed(owner_, reason);
    closeNow();
}

void ClientConnection::closeNow()
{
    if (state_ == State::Closed)
        return;
    acknowledgedAtClose_ = acknowledged();
    // What the peer has not acknowledged is taken back: a reset, so that none of it arrives
    // after all.
    if (acknowledgedAtClose_ < handedOver_)
        lingerNot();
    else if (tls_ && orderly_)
        tls_->closeNotify(); // an orderly end, told apart from a cut connection
    state_ = State::Closed;
    out_ = QByteArray();
    outSent_ = 0;
    if (closeTimer_)
        closeTimer_->stop(); // this may run in its timeout
    readable_ = writable_ = false;
    if (EpollEventDispatcher* const dispatcher = EpollEventDispatcher::current())
        dispatcher->unwatch(fd_);
    ::close(fd_);
    fd_ = -1;
    if (events_)
        events_->disconnected(owner_);
}

} // namespace wispline::server
