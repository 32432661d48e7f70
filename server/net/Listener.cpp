#include "net/Listener.h"

#include "base/ServerLog.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace wispline::server
{
Listener::Listener(QObject* parent) : QObject(parent), server_(std::make_unique<QTcpServer>()) {}

Listener::~Listener() = default;

bool Listener::listen(const QHostAddress& address, quint16 port, QString* error)
{
    server_->setListenBacklogSize(1024);
    if (!server_->listen(address, port)) {
        if (error)
            *error = server_->errorString();
        return false;
    }
    // Accepted here rather than by QTcpServer, which on some errors (no descriptor left)
    // either stops for good or tries again at once, for ever.
    server_->pauseAccepting();
    notifier_ =
        std::make_unique<QSocketNotifier>(server_->socketDescriptor(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { acceptWaiting(); });
    return true;
}

void Listener::close()
{
    notifier_.reset();
    server_->close();
}

QHostAddress Listener::address() const
{
    return server_->serverAddress();
}

quint16 Listener::port() const
{
    return server_->serverPort();
}

void Listener::acceptWaiting()
{
    // A few at a time: a flood of connections does not hold up the connected.
    for (int i = 0; i < 64 && notifier_; ++i) {
        const int descriptor = ::accept4(int(server_->socketDescriptor()), nullptr, nullptr,
                                         SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (descriptor >= 0) {
            failing_ = false;
            // From the first moment, any end the program does not decide (a crash, kill -9, no
            // memory left) resets the connection: the client reads a lost connection and
            // reconnects, where an orderly close would end it. Orderly ends undo this first.
            const linger reset{1, 0};
            ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            accepted(descriptor);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // Out of descriptors or memory: accepting pauses and resumes shortly.
        if (!failing_) {
            failing_ = true;
            logLine(QStringLiteral("cannot accept connections: %1; trying again every %2 ms")
                        .arg(QString::fromLocal8Bit(std::strerror(errno)))
                        .arg(kRetryMs));
        }
        notifier_->setEnabled(false);
        QTimer::singleShot(kRetryMs, this, [this] {
            if (notifier_)
                notifier_->setEnabled(true);
        });
        return;
    }
}

void Listener::setLimits(int overall, int perAddress)
{
    maxAnonymous_ = overall;
    maxPerAddress_ = perAddress;
}

bool Listener::admit(const QString& address)
{
    int& mine = perAddress_[address];
    if (anonymous_ >= maxAnonymous_ || mine >= maxPerAddress_) {
        if (refused_++ == 0)
            logLine(anonymous_ >= maxAnonymous_
                        ? QStringLiteral("%1 connections not logged on: new ones refused")
                              .arg(anonymous_)
                        : QStringLiteral("%1 connections not logged on from %2: new ones from "
                                         "there refused")
                              .arg(mine)
                              .arg(address));
        if (mine == 0)
            perAddress_.remove(address);
        return false;
    }
    if (refused_ > 0) {
        logLine(QStringLiteral("taking connections again; %1 refused meanwhile").arg(refused_));
        refused_ = 0;
    }
    ++mine;
    ++anonymous_;
    return true;
}

void Listener::release(const QString& address)
{
    --anonymous_;
    const auto it = perAddress_.find(address);
    if (it != perAddress_.end() && --it.value() <= 0)
        perAddress_.erase(it);
}

} // namespace wispline::server
