#include "admin/AdminServer.h"
#include "base/ServerMetrics.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QTcpServer>

namespace wispline::server
{

AdminServer::AdminServer(QObject* parent) : QObject(parent) {}

AdminServer::~AdminServer() = default;

void AdminServer::route()
{
    using Status = QHttpServerResponse::StatusCode;
    http_->route(QStringLiteral("/healthz"),
                 [] { return QHttpServerResponse("text/plain", QByteArrayLiteral("ok\n")); });
    http_->route(QStringLiteral("/readyz"), [this] {
        const QString reason = notReadyBecause ? notReadyBecause() : QString();
        if (reason.isEmpty()) {
            const QString note = notes ? notes() : QString();
            return QHttpServerResponse("text/plain", note.isEmpty()
                                                         ? QByteArrayLiteral("ready\n")
                                                         : "ready\n" + note.toUtf8() + '\n');
        }
        return QHttpServerResponse("text/plain", reason.toUtf8() + '\n',
                                   Status::ServiceUnavailable);
    });
    http_->route(QStringLiteral("/metrics"), [] {
        return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8", metrics::render());
    });
}

bool AdminServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    auto tcp = std::make_unique<QTcpServer>();
    if (!tcp->listen(address, port)) {
        if (error)
            *error = tcp->errorString();
        return false;
    }
    // Made only when asked for: the HTTP server and what it loads (its WebSocket and TLS
    // parts among them) cost a few MB at start that a server without this listener never uses.
    if (!http_) {
        http_ = std::make_unique<QHttpServer>();
        route();
    }
    tcp_ = tcp.release();
    http_->bind(tcp_); // takes it over
    return true;
}

QHostAddress AdminServer::address() const
{
    return tcp_ ? tcp_->serverAddress() : QHostAddress();
}

quint16 AdminServer::port() const
{
    return tcp_ ? tcp_->serverPort() : 0;
}

} // namespace wispline::server
