#pragma once
// The admin listener: health, readiness and the metrics over HTTP, for balancers and monitoring.
// Its requests are served on the routing thread, so a routing loop that stalls answers nothing,
// which is what a health check should see.
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QHttpServer;
class QTcpServer;

namespace wispline::server
{

class AdminServer : public QObject
{
    Q_OBJECT
public:
    explicit AdminServer(QObject* parent = nullptr);
    ~AdminServer() override;

    // Why log-ons are not taken now, in one line; empty while they are.
    std::function<QString()> notReadyBecause;
    // What a ready server does without now, in one line after "ready"; empty for nothing.
    std::function<QString()> notes;

    bool listen(const QHostAddress& address, quint16 port, QString* error);
    QHostAddress address() const;
    quint16 port() const;

private:
    void route();

    std::unique_ptr<QHttpServer> http_; // made by the first listen()
    QTcpServer* tcp_ = nullptr;         // owned by http_
};

} // namespace wispline::server
