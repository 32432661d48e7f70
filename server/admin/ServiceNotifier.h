#pragma once
// Tells the service manager (systemd, through NOTIFY_SOCKET) when the server is ready and when
// it stops, and keeps its watchdog fed from the routing loop: a loop that stalls stops feeding
// it, and the manager restarts the service. Without NOTIFY_SOCKET every call does nothing.
#include <QObject>
#include <QTimer>

namespace wispline::server
{

class ServiceNotifier : public QObject
{
    Q_OBJECT
public:
    explicit ServiceNotifier(QObject* parent = nullptr);

    // Listening with the store open; starts feeding the watchdog when the manager wants it.
    void ready(const QString& status);
    void stopping();

private:
    QTimer watchdog_;
};

} // namespace wispline::server
