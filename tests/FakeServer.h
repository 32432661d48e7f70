#pragma once
// A scripted message server, by default on an ephemeral loopback port: records what each
// connection sends and lets the test write to the newest one.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace wispline::test
{

class FakeServer : public QObject
{
    Q_OBJECT
public:
    explicit FakeServer(const QHostAddress& at = QHostAddress(QHostAddress::LocalHost),
                        quint16 port = 0)
        : at_(at)
    {
        server_.listen(at, port);
        port_ = server_.serverPort();
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                connections.append(s);
                received.append(QByteArray());
                const int index = int(connections.size()) - 1;
                connect(s, &QTcpSocket::readyRead, this, [this, s, index] {
                    const QByteArray data = s->readAll();
                    received[index] += data;
                    all += data;
                });
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }
    QTcpSocket* last() const { return connections.isEmpty() ? nullptr : connections.last(); }
    // Writes raw bytes to the newest connection.
    void write(const QByteArray& bytes)
    {
        QTcpSocket* s = last();
        if (s) {
            s->write(bytes);
            s->flush();
        }
    }
    // One complete server message: fields, the trailer, the terminator.
    static QByteArray message(const QByteArray& fields) { return fields + "~ExitEnd`"; }
    void stopListening() { server_.close(); }
    // Back on the same address and port, as a restarted server.
    bool listenAgain() { return server_.listen(at_, port_); }

    QList<QPointer<QTcpSocket>> connections;
    QList<QByteArray> received; // per connection
    QByteArray all;

private:
    QTcpServer server_;
    QHostAddress at_;
    quint16 port_ = 0;
};

// Closes a connection with a reset instead of an orderly close.
inline void resetConnection(QTcpSocket* socket)
{
    const linger now = {1, 0};
    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof(now));
    socket->abort();
}

// Waits, without running the event loop (Qt would read them), until the kernel holds bytes for
// `socket`.
inline bool waitUntilReadable(QTcpSocket* socket)
{
    const QDeadlineTimer limit(10000);
    int waiting = 0;
    while (::ioctl(int(socket->socketDescriptor()), FIONREAD, &waiting) == 0 && waiting == 0 &&
           !limit.hasExpired())
        QThread::yieldCurrentThread();
    return waiting > 0;
}

// A socket whose connect fails inside the connect call, as Qt reports an unreachable network.
class FailsAtOnce : public QTcpSocket
{
public:
    using QTcpSocket::connectToHost;
    void connectToHost(const QString&, quint16, OpenMode, NetworkLayerProtocol) override
    {
        setSocketState(UnconnectedState);
        setSocketError(NetworkError);
        setErrorString(QStringLiteral("Network is unreachable"));
        emit errorOccurred(NetworkError);
    }
};

} // namespace wispline::test
