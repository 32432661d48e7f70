#include "Listener.h"

#include "ServerLog.h"

#include <QTcpServer>
#include <QTimer>

namespace wispline::server
{
namespace
{

// Hands each accepted descriptor over as it is: the server wraps it in a lean connection.
class DescriptorServer : public QTcpServer
{
public:
    std::function<void(int)> accepted;

protected:
    void incomingConnection(qintptr descriptor) override { accepted(int(descriptor)); }
};

} // namespace

Listener::Listener(QObject* parent) : QObject(parent)
{
    auto server = std::make_unique<DescriptorServer>();
    server->accepted = [this](int descriptor) {
        failing_ = false;
        accepted(descriptor);
    };
    server_ = std::move(server);
    // Qt stops accepting on an error that is not temporary (no descriptor left) and never
    // starts again by itself.
    connect(server_.get(), &QTcpServer::acceptError, this, [this] { acceptFailed(); });
}

Listener::~Listener() = default;

bool Listener::listen(const QHostAddress& address, quint16 port, QString* error)
{
    server_->setMaxPendingConnections(1024);
    server_->setListenBacklogSize(1024);
    if (server_->listen(address, port))
        return true;
    if (error)
        *error = server_->errorString();
    return false;
}

void Listener::close()
{
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

void Listener::acceptFailed()
{
    if (!failing_) {
        failing_ = true;
        logLine(QStringLiteral("cannot accept connections: %1; trying again every %2 ms")
                    .arg(server_->errorString())
                    .arg(kRetryMs));
    }
    QTimer::singleShot(kRetryMs, this, [this] {
        if (server_->isListening())
            server_->resumeAccepting();
    });
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
