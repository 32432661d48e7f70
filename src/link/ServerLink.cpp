#include "link/ServerLink.h"

#include "app/Deployment.h"
#include "app/Seams.h"
#include "app/SessionState.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QEventLoop>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSslCipher>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpSocket>
#include <algorithm>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

// Link events at info level (on by default), details at debug level; never a password.
Q_LOGGING_CATEGORY(lcLink, "wispline.link", QtInfoMsg)

namespace wispline
{

namespace
{
const QString kInternet = QStringLiteral("Internet");
const QString kFluctuation = QStringLiteral(
    "Connection to the server could not be established possibly becuase of Internet fluctuation.");
} // namespace

ServerLink::ServerLink(LinkHost& host, QObject* parent) : QObject(parent), host_(host)
{
    ConnectTimer.setInterval(timing_.connectMs);
    EnableTimer.setInterval(timing_.enableMs);
    HandshakeTimer.setInterval(timing_.handshakeMs);
    connect(&ConnectTimer, &QTimer::timeout, this, &ServerLink::ConnectTimer_Timer);
    connect(&EnableTimer, &QTimer::timeout, this, &ServerLink::EnableTimer_Timer);
    connect(&HandshakeTimer, &QTimer::timeout, this, &ServerLink::HandshakeTimer_Timer);
    ReconnectTimer.setSingleShot(true);
    connect(&ReconnectTimer, &QTimer::timeout, this, &ServerLink::attemptReconnect);
    attemptLimit_.setSingleShot(true);
    connect(&attemptLimit_, &QTimer::timeout, this, [this] {
        if (!attempting_ || socketConnected())
            return;
        qCInfo(lcLink) << "no connection within" << timing_.waitMs << "ms";
        attemptEnded();
    });
    random_ = [](int bound) { return int(QRandomGenerator::global()->bounded(bound + 1)); };
    useSocket(new QSslSocket);
}

ServerLink::~ServerLink()
{
    unwatchConnection();
}

void ServerLink::useSocket(QTcpSocket* socket)
{
    unwatchConnection();
    delete tcpClient;
    tcpClient = socket;
    tcpClient->setParent(this);
    connect(tcpClient, &QTcpSocket::connected, this, [this] {
        if (!encrypting_)
            tcpClient_Connect();
    });
    if (QSslSocket* ssl = sslSocket()) {
        connect(ssl, &QSslSocket::encrypted, this, &ServerLink::onEncrypted);
        connect(ssl, &QSslSocket::sslErrors, this, &ServerLink::onSslErrors);
        // Kept for the next connection: a reconnect resumes the session, a short handshake.
        connect(ssl, &QSslSocket::newSessionTicketReceived, this, [this, ssl] {
            if (tlsProblem_.isEmpty())
                sessionTicket_ = ssl->sslConfiguration().sessionTicket();
        });
    }
    connect(tcpClient, &QTcpSocket::readyRead, this, &ServerLink::tcpClient_DataArrival);
    connect(tcpClient, &QTcpSocket::errorOccurred, this, &ServerLink::onSocketError);
    // An attempt the socket gives up without an error (a pinned key that does not match).
    connect(tcpClient, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::UnconnectedState && attempting_)
            QTimer::singleShot(0, this, [this] {
                if (attempting_ && tcpClient->state() == QAbstractSocket::UnconnectedState)
                    attemptEnded();
            });
    });
}

void ServerLink::setRandom(std::function<int(int)> random)
{
    random_ = std::move(random);
}

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
    return loggedOn_ && socketConnected();
}

bool ServerLink::socketConnected() const
{
    return tcpClient->state() == QAbstractSocket::ConnectedState &&
           (!encrypting_ || sslSocket()->isEncrypted());
}

QSslSocket* ServerLink::sslSocket() const
{
    return qobject_cast<QSslSocket*>(tcpClient);
}

bool ServerLink::send(const QString& message)
{
    return isConnected() && write(message);
}

bool ServerLink::write(const QString& message)
{
    if (!socketConnected())
        return false;
    // One write per message, pushed out at once: the server reads one message per segment.
    // A connection the kernel already knows to be gone fails the write, and Qt drops it.
    const QByteArray bytes = wire::toWire(message);
    bool written = tcpClient->write(bytes) == bytes.size();
    tcpClient->flush();
    written = written && socketConnected();
    yieldOnce();
    return written;
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
    // Half a message of the old connection must not be glued to the new one's first.
    reassembler_.discardPending();
    const DeploymentSecurity security = deploymentSecurity();
    QSslSocket* ssl = sslSocket();
    encrypting_ = security.encrypted && ssl;
    tlsProblem_.clear();
    qCInfo(lcLink).noquote() << "connecting to" << session().ServerAddress << "port"
                             << session().ServerPort
                             << (encrypting_ ? "encrypted" : "not encrypted");
    if (!encrypting_) {
        tcpClient->connectToHost(session().ServerAddress, quint16(session().ServerPort));
        return;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    configuration.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    configuration.setSessionTicket(sessionTicket_);
    if (!security.caFile.isEmpty()) {
        const QList<QSslCertificate> trusted = QSslCertificate::fromPath(security.caFile);
        if (trusted.isEmpty())
            qCWarning(lcLink).noquote() << "no certificate in CaFile" << security.caFile;
        configuration.setCaCertificates(trusted);
    }
    ssl->setSslConfiguration(configuration);
    ssl->connectToHostEncrypted(session().ServerAddress, quint16(session().ServerPort));
}

namespace
{
// A SHA-256 given as hex (colons allowed) or base64, as bytes.
QByteArray pinBytes(const QString& pin)
{
    QString hex = pin;
    hex.remove(QLatin1Char(':'));
    static const QRegularExpression isHex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (isHex.match(hex).hasMatch())
        return QByteArray::fromHex(hex.toLatin1());
    return QByteArray::fromBase64(pin.toLatin1());
}

QString inPlainWords(const QSslError& error, const QString& host)
{
    switch (error.error()) {
    case QSslError::CertificateExpired:
        return QStringLiteral("The server's certificate has expired.");
    case QSslError::CertificateNotYetValid:
        return QStringLiteral("The server's certificate is not valid yet.");
    case QSslError::HostNameMismatch:
        return QStringLiteral("The server's certificate is for another name than %1.").arg(host);
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
        return QStringLiteral("The server's certificate was issued by an authority this "
                              "computer does not trust.");
    default:
        return QStringLiteral("The server's certificate cannot be trusted: %1.")
            .arg(error.errorString());
    }
}

bool isIssuerProblem(QSslError::SslError error)
{
    return error == QSslError::SelfSignedCertificate ||
           error == QSslError::SelfSignedCertificateInChain ||
           error == QSslError::UnableToGetLocalIssuerCertificate ||
           error == QSslError::UnableToGetIssuerCertificate ||
           error == QSslError::UnableToVerifyFirstCertificate ||
           error == QSslError::CertificateUntrusted;
}
} // namespace

void ServerLink::onSslErrors(const QList<QSslError>& errors)
{
    // A pinned key stands in for the issuer (a self-signed server): the name and the dates are
    // checked all the same, and the pin once the handshake is done.
    const bool pinned = !deploymentSecurity().pinnedSha256.isEmpty();
    for (const QSslError& error : errors) {
        if (pinned && isIssuerProblem(error.error()))
            continue;
        tlsProblem_ = inPlainWords(error, session().ServerAddress);
        qCWarning(lcLink).noquote() << "server certificate refused:" << error.errorString();
        return; // not ignored: the socket ends the handshake and reports an error
    }
    sslSocket()->ignoreSslErrors(errors);
}

void ServerLink::onEncrypted()
{
    QSslSocket* ssl = sslSocket();
    const QString pin = deploymentSecurity().pinnedSha256;
    if (!pin.isEmpty()) {
        const QByteArray key = ssl->peerCertificate().publicKey().toDer();
        if (QCryptographicHash::hash(key, QCryptographicHash::Sha256) != pinBytes(pin)) {
            tlsProblem_ = QStringLiteral("The server's certificate key is not the one this "
                                         "computer was set up to expect.");
            qCWarning(lcLink) << "server certificate refused: the pinned key does not match";
            ssl->abort();
            return;
        }
    }
    const QSslCipher cipher = ssl->sessionCipher();
    qCInfo(lcLink).noquote() << "encrypted:" << cipher.protocolString() << cipher.name();
    tcpClient_Connect();
}

void ServerLink::closeSocket()
{
    linkUp_ = false;
    loggedOn_ = false;
    unwatchConnection();
    // What was received before the close is still the window's: aborting would drop Qt's buffer.
    if (tcpClient->bytesAvailable() > 0) {
        readIntoReassembler();
        postDispatch();
    }
    if (tcpClient->state() == QAbstractSocket::ConnectedState)
        tcpClient->flush(); // a log-out written just before must still leave
    tcpClient->abort();
}

void ServerLink::keepAlive()
{
    // A server whose path is gone sends nothing, not even a reset: probes after 30 s of silence,
    // and nothing acknowledged for 48 s (checked as each probe is due), end the connection with
    // a socket error within a minute.
    tcpClient->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const qintptr fd = tcpClient->socketDescriptor();
    if (fd < 0)
        return;
    const int idle = 30;
    const int interval = 6;
    const int count = 5;
    const unsigned userTimeout = 48000;
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
#endif
}

void ServerLink::watchConnection()
{
    unwatchConnection();
#ifdef Q_OS_LINUX
    const qintptr fd = tcpClient->socketDescriptor();
    if (fd >= 0)
        watchFd_ = ::fcntl(int(fd), F_DUPFD_CLOEXEC, 0);
#endif
}

void ServerLink::unwatchConnection()
{
#ifdef Q_OS_LINUX
    if (watchFd_ >= 0)
        ::close(watchFd_);
#endif
    watchFd_ = -1;
}

bool ServerLink::peerReset() const
{
    // Qt reports a peer's close and a peer's reset alike. The kernel still knows: after the
    // peer's FIN a socket that is still open waits in CLOSE_WAIT; after a reset it is CLOSED.
#ifdef Q_OS_LINUX
    if (watchFd_ < 0)
        return false;
    tcp_info info = {};
    socklen_t size = sizeof(info);
    if (::getsockopt(watchFd_, IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return false;
    return info.tcpi_state == TCP_CLOSE;
#else
    return false;
#endif
}

void ServerLink::closeIfConnected()
{
    if (socketConnected())
        closeSocket();
}

bool ServerLink::openAndWait()
{
    // The guard covers the connect call too: a failure Qt reports from inside it (no route)
    // reaches the error handling, whose reconnect must not start an attempt inside this one.
    waiting_ = true;
    const auto done = qScopeGuard([this] { waiting_ = false; });
    openSocket();
    // Runs the event loop until the socket is connected or fails, for at most waitMs: no busy
    // loop, and the same length on every machine.
    if (socketConnected() || tcpClient->state() == QAbstractSocket::UnconnectedState)
        return socketConnected();
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(tcpClient, &QTcpSocket::connected, &loop, [this, &loop] {
        if (!encrypting_)
            loop.quit();
    });
    if (QSslSocket* ssl = sslSocket())
        connect(ssl, &QSslSocket::encrypted, &loop, &QEventLoop::quit);
    connect(tcpClient, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
    connect(tcpClient, &QTcpSocket::stateChanged, &loop, [&loop](QAbstractSocket::SocketState s) {
        if (s == QAbstractSocket::UnconnectedState)
            loop.quit();
    });
    connect(this, &ServerLink::ended, &loop, &QEventLoop::quit);
    limit.start(timing_.waitMs);
    loop.exec();
    if (!tlsProblem_.isEmpty() && !ended_) {
        // Nothing was sent: the program ends as when the server cannot be reached, naming why.
        tcpClient->abort();
        showBox(tlsProblem_, QStringLiteral("Wispline"), BoxIcon::Critical);
        terminate("openAndWait: server certificate refused");
    }
    return socketConnected();
}

void ServerLink::ConnectToRemoteServer()
{
    // A tick that arrives while a wait is running must not start a second wait inside it.
    if (ShuttingDown || ended_ || waiting_)
        return;
    openAndWait();
    if (ended_)
        return;
    if (socketConnected()) {
        EnableTimer.start();
        host_.setCaption(loggedOnTitle());
        host_.setComposeEnabled(isConnected());
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
    if (std::exchange(attempting_, false))
        attemptLimit_.stop();
    unansweredTicks_ = 0;
    linkUp_ = true;
    watchConnection();
    qCInfo(lcLink) << "connected";
    // Each message leaves at once in its own segment: the server reads one message per read.
    tcpClient->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    keepAlive();
    if (socketConnected() && !ShuttingDown) {
        host_.setCaption(connectedTitle());
        if (LoginFlag == 1) {
            const SessionState& s = session();
            qCInfo(lcLink).noquote() << "sending the log-on of" << s.UserName;
            write(
                wire::buildLogon(s.UserName, s.Password, s.VersionString, host_.adapterCaption()));
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
    if (handleLastWord())
        return;
    terminate("tcpClient_Close");
}

void ServerLink::tcpClient_Error()
{
    if (ended_ || !isInternetMode())
        return;
    showFluctuationNotice();
    closeIfConnected();
    ConnectToRemoteServer();
}

void ServerLink::onSocketError(QAbstractSocket::SocketError error)
{
    if (ended_ || ShuttingDown)
        return;
    if (!tlsProblem_.isEmpty()) {
        // Nothing was sent. At start the wait ends the program with the problem's box; a
        // reconnect attempt has failed like any other (the problem is logged).
        if (attempting_)
            attemptEnded();
        return;
    }
    const bool reset = error == QAbstractSocket::RemoteHostClosedError && peerReset();
    if (error == QAbstractSocket::RemoteHostClosedError && !reset) {
        qCInfo(lcLink) << "the server closed the connection";
        tcpClient_Close();
        return;
    }
    qCInfo(lcLink).noquote() << (reset
                                     ? QStringLiteral("connection reset by the server")
                                     : QStringLiteral("socket error: ") + tcpClient->errorString());
    if (everLoggedOn_) {
        if (attempting_ && !linkUp_)
            attemptEnded();
        else
            lost(linkUp_);
        return;
    }
    if (!linkUp_) {
        tcpClient_Error(); // a connect attempt failed: its wait decides what follows
        return;
    }
    // An established link broke: it is reopened by the timers (Internet mode: at once). Qt
    // finishes closing the socket after this signal returns, which would undo a connection
    // reopened from inside it: the reopening waits for the next turn of the event loop.
    host_.setCaption(resetTitle());
    closeSocket();
    reopenNextTurn();
}

void ServerLink::reopenNextTurn()
{
    QTimer::singleShot(0, this, [this] {
        if (ended_ || ShuttingDown)
            return;
        if (reconnectsHeld_)
            reconnectDue_ = true;
        else
            tcpClient_Error();
    });
}

void ServerLink::holdReconnects(bool hold)
{
    reconnectsHeld_ = hold;
    if (!hold && std::exchange(reconnectDue_, false))
        reopenNextTurn();
    if (!hold && std::exchange(noticeDue_, false))
        showFluctuationNotice();
}

void ServerLink::showFluctuationNotice()
{
    // One at a time, and never waited for: the reconnects go on behind it.
    if (ended_ || !isInternetMode() || noticeOpen_)
        return;
    if (reconnectsHeld_) {
        noticeDue_ = true; // not on top of the shutdown question
        return;
    }
    noticeOpen_ = true;
    showNotice(kFluctuation, QString(), BoxIcon::None, [self = QPointer<ServerLink>(this)] {
        if (self)
            self->noticeOpen_ = false;
    });
}

void ServerLink::lost(bool wasUp)
{
    if (wasUp)
        host_.setCaption(resetTitle());
    attempting_ = false;
    attemptLimit_.stop();
    closeSocket();
    unansweredTicks_ = 0;
    host_.linkLost();
    showFluctuationNotice();
    scheduleReconnect();
}

void ServerLink::attemptEnded()
{
    if (!std::exchange(attempting_, false))
        return;
    lost(false);
}

int ServerLink::nextReconnectDelay()
{
    const int step = reconnectStep_++;
    if (step == 0) {
        const int spread = std::max(0, timing_.reconnectFirstMaxMs - timing_.reconnectFirstMinMs);
        return timing_.reconnectFirstMinMs + random_(spread);
    }
    qint64 nominal = timing_.reconnectStepMs;
    for (int i = 1; i < step && nominal < timing_.connectMs; ++i)
        nominal *= 2;
    nominal = std::min<qint64>(nominal, timing_.connectMs);
    return int(nominal) - random_(int(nominal / 2));
}

void ServerLink::scheduleReconnect()
{
    if (ended_ || ShuttingDown || reconnecting())
        return;
    const int delay = nextReconnectDelay();
    qCInfo(lcLink) << "reconnecting in" << delay << "ms";
    ReconnectTimer.start(delay);
}

void ServerLink::attemptReconnect()
{
    if (ended_ || ShuttingDown || attempting_ || socketConnected())
        return;
    closeSocket();
    attempting_ = true;
    attemptLimit_.start(timing_.waitMs);
    openSocket(); // a failure reported from inside the connect call ends the attempt at once
}

void ServerLink::logOnAnswered()
{
    // An answer read from a connection already closed counts for no connection.
    loggedOn_ = linkUp_;
    everLoggedOn_ = true;
    reconnectStep_ = 0;
    unansweredTicks_ = 0;
    ReconnectTimer.stop();
}

void ServerLink::ConnectTimer_Timer()
{
    if (ended_)
        return;
    if (everLoggedOn_) {
        // A lost link has its own schedule; this tick only makes sure one runs.
        if (!socketConnected() && !ShuttingDown)
            scheduleReconnect();
    } else {
        const bool reconnect =
            (!socketConnected() && !ShuttingDown) || session().UserLevel.isEmpty();
        if (reconnect && !waiting_ && !reconnectsHeld_) {
            openAndWait();
            if (ended_)
                return;
            if (socketConnected()) {
                host_.setCaption(loggedOnTitle());
                host_.setComposeEnabled(isConnected());
            }
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
        // A re-log-on left unanswered gets the time the first log-on got; then the link is
        // reopened on the schedule, and the program goes on.
        if (everLoggedOn_ && socketConnected() && !loggedOn_ && ++unansweredTicks_ > 15) {
            qCInfo(lcLink) << "the log-on was not answered: connecting again";
            lost(false);
        }
    } else {
        if (reconnectsHeld_)
            return; // the shutdown question is open: no reconnect and no retry counted behind it
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
            write(wire::buildHandshake(session().senderAddress()));
    }
}

void ServerLink::SendLogout()
{
    if (socketConnected())
        write(wire::buildLogout(session().senderAddress()));
}

namespace
{
bool heldAny(const std::deque<wire::InboundMessage>& held, wire::Inbound a, wire::Inbound b)
{
    return std::any_of(held.begin(), held.end(), [&](const wire::InboundMessage& m) {
        return m.command() == a || m.command() == b;
    });
}

// A user list with an address whose level is no digit: its handling stops there with an error
// box.
bool hasAddressWithoutLevel(const wire::InboundMessage& message, QByteArrayView word)
{
    // One pass over the bytes: a list of thousands of users costs no more than its length.
    const QByteArrayView raw = message.raw();
    qsizetype from = raw.indexOf('~') + 1; // past the command word
    while (from > 0 && from <= raw.size()) {
        qsizetype to = raw.indexOf('~', from);
        if (to < 0)
            to = raw.size();
        const QByteArrayView field = raw.sliced(from, to - from);
        if (!field.isEmpty() && field != QByteArrayView("ExitEnd") && field != word &&
            (field.back() < '0' || field.back() > '9'))
            return true;
        from = to + 1;
    }
    return false;
}

// The server's decisions that end the program, each after its box.
bool endsProgram(const wire::InboundMessage& message)
{
    const wire::Inbound c = message.command();
    return c == wire::Inbound::Invalid || c == wire::Inbound::OtLog || c == wire::Inbound::Version;
}

// The handling of these messages can open a box; a download's lines stay behind its end, and
// the user lists' changes behind a list held for its error.
bool opensBox(const wire::InboundMessage& message, const std::deque<wire::InboundMessage>& held)
{
    switch (message.command()) {
    case wire::Inbound::Invalid:
    case wire::Inbound::CHPASS:
    case wire::Inbound::OtLog:
    case wire::Inbound::Version:
        return true;
    case wire::Inbound::LIU:
        return message.fieldCount() < 3;
    case wire::Inbound::USRS:
        return hasAddressWithoutLevel(message, "USRS") ||
               heldAny(held, wire::Inbound::USRS, wire::Inbound::LGO);
    case wire::Inbound::LGO:
        return hasAddressWithoutLevel(message, "LGO") ||
               heldAny(held, wire::Inbound::USRS, wire::Inbound::LGO);
    case wire::Inbound::ALLM:
        return message.rawField(1) == QByteArrayView("END") ||
               std::any_of(held.begin(), held.end(), [](const wire::InboundMessage& m) {
                   return m.command() == wire::Inbound::ALLM;
               });
    default:
        return false;
    }
}
} // namespace

void ServerLink::tcpClient_DataArrival()
{
    if (ended_)
        return;
    HandshakeTimer.stop();
    HandshakeCount = 0;
    readIntoReassembler();
    dispatchReceived();
    if (ended_)
        return;
    if (isInternetMode()) {
        HandshakeTimer.start();
        HandshakeCount = 0;
    }
}

void ServerLink::readIntoReassembler()
{
    reassembler_.feed(tcpClient->readAll());
}

void ServerLink::dispatchReceived()
{
    // A box runs a nested event loop: one opened here, inside the socket's signal, would stop
    // Qt from reporting more data until it closed. Messages that open one wait for the next
    // turn of the event loop; all others are handled now, even while a box is open.
    wire::InboundMessage message;
    while (!ended_ && reassembler_.takeNext(message)) {
        if (opensBox(message, held_)) {
            held_.push_back(message);
            postDispatch();
        } else {
            dispatchInbound(message, host_.inbound());
        }
    }
}

void ServerLink::postDispatch()
{
    if (dispatchPosted_)
        return;
    dispatchPosted_ = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            dispatchPosted_ = false;
            // A log-out under way runs the event loop: no box may open inside it.
            if (ended_ || ShuttingDown)
                return;
            dispatchReceived();
            handleHeld();
        },
        Qt::QueuedConnection);
}

void ServerLink::handleHeld()
{
    // One box at a time, in arrival order: a call from inside a box leaves the rest to the
    // call that opened it.
    if (inBox_ || ShuttingDown)
        return;
    inBox_ = true;
    while (!ended_ && !held_.empty()) {
        const wire::InboundMessage message = held_.front();
        held_.pop_front();
        dispatchInbound(message, host_.inbound());
    }
    inBox_ = false;
}

void ServerLink::handleReceived()
{
    if (ended_)
        return;
    // What the kernel holds has been received too.
    if (socketConnected())
        tcpClient->waitForReadyRead(0);
    if (tcpClient->bytesAvailable() > 0)
        readIntoReassembler();
    dispatchReceived();
}

bool ServerLink::handleLastWord()
{
    if (tcpClient->bytesAvailable() > 0)
        readIntoReassembler();
    wire::InboundMessage message;
    while (!ended_ && reassembler_.takeNext(message)) {
        if (opensBox(message, held_))
            held_.push_back(message);
        else
            dispatchInbound(message, host_.inbound());
    }
    if (ended_)
        return true;
    const auto last = std::find_if(held_.begin(), held_.end(), endsProgram);
    if (last == held_.end())
        return false;
    // Shown even on top of another box: the program ends with this message's own cause.
    message = *last;
    held_.erase(last);
    dispatchInbound(message, host_.inbound());
    return ended_;
}

void ServerLink::drainQueue()
{
    // Messages received but not yet handled would be lost with the process: all that open no
    // box are handled; a box cannot be answered once the program ends.
    if (tcpClient->bytesAvailable() > 0)
        readIntoReassembler();
    wire::InboundMessage message;
    while (reassembler_.takeNext(message)) {
        if (!opensBox(message, held_))
            dispatchInbound(message, host_.inbound());
    }
    held_.clear();
    reassembler_.clearQueue();
}

void ServerLink::terminate(const char* where, End end)
{
    if (ended_)
        return;
    ended_ = true;
    ConnectTimer.stop();
    EnableTimer.stop();
    HandshakeTimer.stop();
    ReconnectTimer.stop();
    attemptLimit_.stop();
    drainQueue();
    unwatchConnection();
    tcpClient->abort(); // the process end closes the connection
    if (end == End::Failure)
        host_.saveMessageLog(false); // the last minute of the day's messages is kept
    host_.removeTrayIcon();
    emit ended();
    endProgram(where, end == End::UserChoice ? 0 : 1);
}

} // namespace wispline
