#include "link/ServerLink.h"

#include "app/Seams.h"
#include "app/SessionState.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTcpSocket>

namespace wispline
{

namespace
{
const QString kInternet = QStringLiteral("Internet");
}

ServerLink::ServerLink(LinkHost& host, QObject* parent)
    : QObject(parent), tcpClient(new QTcpSocket(this)), host_(host)
{
    ConnectTimer.setInterval(timing_.connectMs);
    EnableTimer.setInterval(timing_.enableMs);
    HandshakeTimer.setInterval(timing_.handshakeMs);
    connect(&ConnectTimer, &QTimer::timeout, this, &ServerLink::ConnectTimer_Timer);
    connect(&EnableTimer, &QTimer::timeout, this, &ServerLink::EnableTimer_Timer);
    connect(&HandshakeTimer, &QTimer::timeout, this, &ServerLink::HandshakeTimer_Timer);
    connect(tcpClient, &QTcpSocket::connected, this, &ServerLink::tcpClient_Connect);
    connect(tcpClient, &QTcpSocket::readyRead, this, &ServerLink::tcpClient_DataArrival);
    connect(tcpClient, &QTcpSocket::errorOccurred, this, &ServerLink::onSocketError);
}

ServerLink::~ServerLink() = default;

void ServerLink::setTiming(const Timing& timing)
{
    timing_ = timing;
    ConnectTimer.setInterval(timing.connectMs);
    EnableTimer.setInterval(timing.enableMs);
    HandshakeTimer.setInterval(timing.handshakeMs);
}

void ServerLink::start()
{
    ConnectTimer.start();
    HandshakeTimer.start();
}

bool ServerLink::isConnected() const
{
    return tcpClient->state() == QAbstractSocket::ConnectedState;
}

void ServerLink::send(const QString& message)
{
    if (!isConnected())
        return;
    // One write per message, pushed out at once: the server reads one message per segment.
    tcpClient->write(wire::toWire(message));
    tcpClient->flush();
    yieldOnce();
}

void ServerLink::yieldOnce()
{
    QCoreApplication::processEvents();
}

bool ServerLink::isInternetMode() const
{
    return host_.connectionMode() == kInternet;
}

QString ServerLink::loggedOnTitle() const
{
    const SessionState& s = session();
    return QStringLiteral("VESK Parlonet (Ver") + s.VersionString +
           QStringLiteral(")   UserName:") + s.UserName + QStringLiteral("    Level:") +
           s.UserLevel;
}

QString ServerLink::connectedTitle() const
{
    return QStringLiteral("VESK Parlonet (Ver ") + session().VersionString +
           QStringLiteral(")   Connected To Server");
}

QString ServerLink::lostTitle() const
{
    return QStringLiteral("VESK Parlonet Ver(") + session().VersionString +
           QStringLiteral(") <---> {Server Connection Lost}");
}

QString ServerLink::shutdownTitle() const
{
    return QStringLiteral("VESK Parlonet Ver( ") + session().VersionString +
           QStringLiteral(") <---> {Server Connection Lost}");
}

QString ServerLink::resetTitle() const
{
    return QStringLiteral("VESK Parlonet (Ver ") + session().VersionString + QStringLiteral(")");
}

void ServerLink::openSocket()
{
    closeSocket();
    tcpClient->connectToHost(session().ServerAddress, quint16(session().ServerPort));
}

void ServerLink::closeSocket()
{
    linkUp_ = false;
    if (tcpClient->state() == QAbstractSocket::ConnectedState)
        tcpClient->flush(); // a log-out written just before must still leave
    tcpClient->abort();
}

void ServerLink::closeIfConnected()
{
    if (isConnected())
        closeSocket();
}

bool ServerLink::waitForConnection()
{
    // Runs the event loop until the socket is connected or fails, for at most waitMs: no busy
    // loop, and the same length on every machine.
    if (isConnected())
        return true;
    if (tcpClient->state() == QAbstractSocket::UnconnectedState)
        return false;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(tcpClient, &QTcpSocket::connected, &loop, &QEventLoop::quit);
    connect(tcpClient, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    connect(this, &ServerLink::ended, &loop, &QEventLoop::quit);
    waiting_ = true;
    limit.start(timing_.waitMs);
    loop.exec();
    waiting_ = false;
    return isConnected();
}

void ServerLink::ConnectToRemoteServer()
{
    // A tick that arrives while a wait is running must not start a second wait inside it.
    if (ShuttingDown || ended_ || waiting_)
        return;
    openSocket();
    waitForConnection();
    if (ended_)
        return;
    if (isConnected()) {
        EnableTimer.start();
        host_.setCaption(loggedOnTitle());
        host_.setComposeEnabled(true);
    } else {
        showBox(QStringLiteral("Unable to Connect to the Server.\r\nContact Support Personnel."),
                QStringLiteral("Wispline"), BoxIcon::Critical);
        terminate("ConnectToRemoteServer: unable to connect");
    }
}

void ServerLink::tcpClient_Connect()
{
    if (ended_)
        return;
    linkUp_ = true;
    // Each message leaves at once in its own segment: the server reads one message per read.
    tcpClient->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (isConnected() && !ShuttingDown) {
        host_.setCaption(connectedTitle());
        if (LoginFlag == 1) {
            const SessionState& s = session();
            send(wire::buildLogon(s.UserName, s.Password, s.VersionString, host_.adapterCaption()));
        } else {
            yieldOnce();
        }
    }
}

void ServerLink::tcpClient_Close()
{
    // During a confirmed shutdown the server answers the log-out by closing; the shutdown
    // itself ends the program once the message log is saved.
    if (ended_ || ShuttingDown)
        return;
    terminate("tcpClient_Close");
}

void ServerLink::tcpClient_Error()
{
    if (ended_ || !isInternetMode())
        return;
    showBox(QStringLiteral("Connection to the server could not be established possibly becuase "
                           "of Internet fluctuation."),
            QString(), BoxIcon::None);
    if (ended_)
        return;
    closeIfConnected();
    ConnectToRemoteServer();
}

void ServerLink::onSocketError(QAbstractSocket::SocketError error)
{
    if (ended_ || ShuttingDown)
        return;
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // The server closed the connection (the socket cannot tell a close from a reset).
        tcpClient_Close();
        return;
    }
    if (linkUp_) {
        // An established link broke: it is reopened by the timers.
        host_.setCaption(resetTitle());
        closeSocket();
    }
    tcpClient_Error();
}

void ServerLink::ConnectTimer_Timer()
{
    if (ended_)
        return;
    const bool reconnect = (!isConnected() && !ShuttingDown) || session().UserLevel.isEmpty();
    if (reconnect && !waiting_) {
        openSocket();
        waitForConnection();
        if (ended_)
            return;
        if (isConnected()) {
            host_.setCaption(loggedOnTitle());
            host_.setComposeEnabled(true);
        }
    }
    host_.saveMessageLog(false);
}

void ServerLink::EnableTimer_Timer()
{
    if (ended_)
        return;
    if (!session().UserLevel.isEmpty()) {
        if (host_.levelFramesHidden())
            host_.showLayoutForLevel();
    } else {
        ConnectToRemoteServer();
        if (ended_)
            return;
        host_.setComposeEnabled(false);
        ++ConnectRetryCount;
        if (ConnectRetryCount > 15) {
            closeIfConnected();
            EnableTimer.stop();
            ConnectTimer.stop();
            host_.stopFlashing();
            showBox(QStringLiteral("The connection cannot be made for the client"),
                    QStringLiteral("User Level Error"), BoxIcon::Critical);
            terminate("EnableTimer_Timer: no user level");
            return;
        }
    }
    host_.setComposeEnabled(isConnected() && !ShuttingDown);
}

void ServerLink::HandshakeTimer_Timer()
{
    if (ended_ || !isInternetMode())
        return;
    ++HandshakeCount;
    if (HandshakeCount >= timing_.handshakeTicks) {
        HandshakeCount = 0;
        if (isConnected())
            send(wire::buildHandshake(session().senderAddress()));
    }
}

void ServerLink::SendLogout()
{
    if (isConnected())
        send(wire::buildLogout(session().senderAddress()));
}

void ServerLink::tcpClient_DataArrival()
{
    if (ended_)
        return;
    HandshakeTimer.stop();
    HandshakeCount = 0;
    reassembler_.feed(tcpClient->readAll());
    // A message box opened by one message runs a nested event loop; data that arrives
    // meanwhile is queued behind the messages still waiting and handled by this outer call,
    // in order.
    if (dispatching_)
        return;
    dispatching_ = true;
    wire::InboundMessage message;
    for (;;) {
        while (!ended_ && reassembler_.takeNext(message))
            dispatchInbound(message, host_.inbound());
        if (ended_ || tcpClient->bytesAvailable() <= 0)
            break;
        reassembler_.feed(tcpClient->readAll());
    }
    dispatching_ = false;
    if (ended_)
        return;
    if (isInternetMode()) {
        HandshakeTimer.start();
        HandshakeCount = 0;
    }
}

void ServerLink::terminate(const char* where, bool removeTray)
{
    if (ended_)
        return;
    ended_ = true;
    ConnectTimer.stop();
    EnableTimer.stop();
    HandshakeTimer.stop();
    reassembler_.clearQueue();
    tcpClient->abort(); // the process end closes the connection
    if (removeTray)
        host_.removeTrayIcon();
    emit ended();
    endProgram(where);
}

} // namespace wispline
