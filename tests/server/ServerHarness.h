#pragma once
// Runs the real wispline-server executable on an ephemeral port with a database of its own, and
// talks to it like a client does.
#include "link/Ansi.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace wispline::server::test
{

// In a private network namespace the loopback starts down: brought up for the test's servers.
inline bool loopbackUp()
{
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = short(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    ::close(s);
    return up;
}

// Generous: the server is a separate process on a machine that may be busy.
constexpr int kWaitMs = 30000;

// Serves events until done() holds, false after ms. Unlike QTest::qWaitFor it does not sleep
// between rounds, so a client reading megabytes keeps up with the server on a busy machine.
inline bool waitFor(const std::function<bool()>& done, int ms = kWaitMs)
{
    const QDeadlineTimer deadline(ms);
    QTimer tick; // wakes the wait when nothing else happens
    tick.start(10);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Serves events until done() holds; false once progress() has stood still for ms. For a wait
// whose length grows with the work (thousands of messages) and with the machine's load: only a
// stall fails it, never its total.
inline bool waitWhileProgressing(const std::function<bool()>& done,
                                 const std::function<qint64()>& progress, int ms = kWaitMs)
{
    qint64 seen = progress();
    QDeadlineTimer stall(ms);
    QTimer tick; // wakes the wait when nothing else happens
    tick.start(10);
    while (!done()) {
        if (const qint64 now = progress(); now != seen) {
            seen = now;
            stall.setRemainingTime(ms);
        } else if (stall.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// Password hashes in tests take few rounds: a log-on at the real count costs tens of ms.
inline const QStringList kFewKdfRounds{QStringLiteral("--kdf-iterations"), QStringLiteral("1000")};

// Budgets lifted, for a test that sends more from one connection than a person could (thousands
// of messages in seconds) about something else; the budgets are tested at their defaults.
inline const QStringList kNoBudgets{
    QStringLiteral("--budget-messages"),   QStringLiteral("100000000"),
    QStringLiteral("--budget-deliveries"), QStringLiteral("100000000"),
    QStringLiteral("--budget-store-kb"),   QStringLiteral("100000000")};

// The database of a test: a file in dir, or the PostgreSQL database of the throwaway cluster
// that scripts/with-postgres.sh runs the test beside.
inline QString testDatabase(const QTemporaryDir& dir, const QString& file)
{
    const QString postgres = qEnvironmentVariable("WISPLINE_PG_URL");
    return postgres.isEmpty() ? dir.filePath(file) : postgres;
}

inline bool isPostgres(const QString& database)
{
    return database.startsWith(QLatin1String("postgresql://"));
}

// One statement on the database, beside the server; the first row's values, if any.
inline QVariantList sqlRow(const QString& database, const QString& statement,
                           const QVariantList& values = {})
{
    QVariantList row;
    {
        QSqlDatabase db;
        if (isPostgres(database)) {
            const QUrl url(database);
            db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("direct"));
            db.setHostName(url.host());
            db.setPort(url.port());
            db.setUserName(url.userName());
            db.setDatabaseName(url.path().mid(1));
        } else {
            db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("direct"));
            db.setDatabaseName(database);
        }
        QSqlQuery q(db);
        if (db.open() && q.prepare(statement)) {
            for (const QVariant& v : values)
                q.addBindValue(v);
            if (q.exec() && q.next()) {
                for (int i = 0; i < q.record().count(); ++i)
                    row.append(q.value(i));
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("direct"));
    return row;
}

inline int exitCodeOf(const QProcess& p)
{
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

struct AdminResult {
    int exitCode = -1;
    QString out;
    QString err;
};

// One admin command against a database, with input on its standard input; the process exits
// by itself. An empty database runs without --db, on the default file.
inline AdminResult
runAdmin(const QString& database, const QStringList& arguments, const QByteArray& input = {},
         const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(QStringLiteral(WISPLINE_SERVER_PATH),
            (database.isEmpty() ? QStringList() : QStringList{QStringLiteral("--db"), database}) +
                kFewKdfRounds + arguments);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(kWaitMs))
        return {}; // the QProcess kills it on the way out
    return {exitCodeOf(p), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// Adds a user given as name, password, level and optionally supervisor.
inline AdminResult addUser(const QString& database, const QStringList& user)
{
    return runAdmin(database, QStringList{QStringLiteral("--add-user"), user[0]} + user.mid(2),
                    user[1].toUtf8() + '\n');
}

// A throwaway CA and certificates made by the openssl command in dir: ca.pem (the CA),
// good (for 127.0.0.1), wrongname (for another name), expired, stranger (the same name from
// another CA); each NAME.pem with its key NAME.key (mode 600). Empty when it worked, otherwise
// what openssl said.
inline QString makeCertificates(const QString& dir)
{
    const auto run = [&](const QStringList& arguments) {
        QProcess p;
        p.setWorkingDirectory(dir);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QStringLiteral("openssl"), arguments);
        const bool ok = p.waitForFinished(kWaitMs) && exitCodeOf(p) == 0;
        return ok ? QString() : arguments.join(' ') + ": " + QString::fromUtf8(p.readAll());
    };
    QFile config(dir + QStringLiteral("/ca.cnf"));
    if (!config.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write ca.cnf");
    config.write("[ca]\ndefault_ca=c\n[c]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n"
                 "default_md=sha256\npolicy=p\ncopy_extensions=copy\nunique_subject=no\n"
                 "[p]\ncommonName=supplied\n");
    config.close();
    QFile(dir + QStringLiteral("/index.txt")).open(QIODevice::WriteOnly);
    QFile serial(dir + QStringLiteral("/serial"));
    if (serial.open(QIODevice::WriteOnly))
        serial.write("01\n");
    serial.close();
    for (const char* ca : {"ca", "otherca"}) {
        const QString name = QLatin1String(ca);
        if (QString e =
                run({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                     "/CN=Test " + name, "-keyout", name + ".key", "-out", name + ".pem"});
            !e.isEmpty())
            return e;
    }
    struct Leaf {
        const char* name;
        const char* san;
        const char* ca;
        const char* from;
        const char* to;
    };
    for (const Leaf& leaf :
         {Leaf{"good", "IP:127.0.0.1", "ca", "20200101000000Z", "20991231000000Z"},
          Leaf{"wrongname", "DNS:elsewhere.example", "ca", "20200101000000Z", "20991231000000Z"},
          Leaf{"expired", "IP:127.0.0.1", "ca", "20200101000000Z", "20210101000000Z"},
          Leaf{"stranger", "IP:127.0.0.1", "otherca", "20200101000000Z", "20991231000000Z"}}) {
        const QString name = QLatin1String(leaf.name);
        const QString ca = QLatin1String(leaf.ca);
        for (const QStringList& step :
             {QStringList{"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name, "-addext",
                          QStringLiteral("subjectAltName=") + leaf.san, "-keyout", name + ".key",
                          "-out", name + ".csr"},
              QStringList{"ca", "-batch", "-notext", "-config", "ca.cnf", "-cert", ca + ".pem",
                          "-keyfile", ca + ".key", "-startdate", leaf.from, "-enddate", leaf.to,
                          "-in", name + ".csr", "-out", name + ".pem"}}) {
            if (QString e = run(step); !e.isEmpty())
                return e;
        }
        QFile::setPermissions(dir + "/" + name + ".key", QFile::ReadOwner | QFile::WriteOwner);
    }
    return {};
}

// The SHA-256 of a certificate's public key, in hex.
inline QString publicKeyHash(const QString& certificateFile)
{
    QProcess p;
    p.start(QStringLiteral("sh"),
            {QStringLiteral("-c"), QStringLiteral("openssl x509 -pubkey -noout -in '%1' | openssl "
                                                  "pkey -pubin -outform der | sha256sum")
                                       .arg(certificateFile)});
    p.waitForFinished(kWaitMs);
    return QString::fromLatin1(p.readAllStandardOutput()).section(' ', 0, 0);
}

class ServerProcess
{
public:
    ~ServerProcess() { kill(); }

    // Starts the server on port 0 and waits for the "listening on" line (and with --admin for
    // the "admin on" line that follows it). The server dies with this process, so a crashed
    // test leaves none behind holding the test's output open. Its log goes to the test's
    // output, or with captureLog into output().
    bool start(const QString& database, const QStringList& extra = {}, bool captureLog = false)
    {
        output_.clear();
        port_ = 0;
        process_.setProcessChannelMode(captureLog ? QProcess::MergedChannels
                                                  : QProcess::ForwardedErrorChannel);
        process_.setChildProcessModifier([limit = descriptorLimit_, hidden = hiddenFile_] {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (limit > 0) {
                const rlimit both{rlim_t(limit), rlim_t(limit)};
                ::setrlimit(RLIMIT_NOFILE, &both);
            }
            if (!hidden.isEmpty() &&
                (::unshare(CLONE_NEWNS) != 0 ||
                 ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 ::mount("/dev/null", hidden.constData(), nullptr, MS_BIND, nullptr) != 0))
                ::_exit(126);
        });
        process_.start(QStringLiteral(WISPLINE_SERVER_PATH),
                       QStringList{QStringLiteral("--db"), database, QStringLiteral("--port"),
                                   QStringLiteral("0")} +
                           kFewKdfRounds + extra);
        static const QRegularExpression line(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        const bool admin = extra.contains(QStringLiteral("--admin"));
        (void)waitFor([&] {
            port_ = quint16(line.match(output()).captured(1).toUInt()); // 0 until the line
            return (port_ != 0 && (!admin || adminPort() != 0)) ||
                   process_.state() == QProcess::NotRunning;
        });
        return port_ != 0 && (!admin || adminPort() != 0);
    }

    quint16 port() const { return port_; }
    // The admin listener's port, from its "admin on" line; 0 without one.
    quint16 adminPort()
    {
        static const QRegularExpression line(QStringLiteral("admin on 127\\.0\\.0\\.1:(\\d+)"));
        return quint16(line.match(output()).captured(1).toUInt());
    }
    qint64 pid() const { return process_.processId(); }
    // Waits until the kernel has stopped it (after SIGSTOP): from then on it answers nothing.
    bool waitUntilStopped()
    {
        return waitFor([&] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(pid()));
            const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
            return line.mid(line.lastIndexOf(')') + 2, 1) == "T";
        });
    }
    // The descriptors the next start() may hold (soft and hard limit, as prlimit sets them).
    void setDescriptorLimit(int limit) { descriptorLimit_ = limit; }
    // A file the next start() finds empty: /dev/null is bound over it in a mount namespace of
    // the server's own (as root). Where that cannot be made, the child ends with status 126.
    void setHiddenFile(const QString& path) { hiddenFile_ = QFile::encodeName(path); }
    bool running() const { return process_.state() == QProcess::Running; }
    QString output()
    {
        output_ += QString::fromUtf8(process_.readAllStandardOutput());
        return output_;
    }

    void signal(int number)
    {
        // Id 0 (not running) would signal the test's own process group.
        if (process_.processId() > 0)
            ::kill(pid_t(process_.processId()), number);
    }

    // SIGTERM and wait for the exit; the exit code, or -1 when it did not end normally.
    int stop()
    {
        if (!running())
            return -1;
        signal(SIGTERM);
        port_ = 0;
        return waitForExit();
    }

    // Waits, serving events, for the process to end by itself; the exit code, or -1.
    int waitForExit()
    {
        return waitFor([&] { return process_.state() == QProcess::NotRunning; })
                   ? exitCodeOf(process_)
                   : -1;
    }

    void kill()
    {
        process_.kill(); // nothing to do once it has ended
        process_.waitForFinished(kWaitMs);
    }

private:
    QProcess process_;
    QString output_;
    quint16 port_ = 0;
    int descriptorLimit_ = 0;
    QByteArray hiddenFile_;
};

// One client connection: sends raw text, collects every framed message the server sends.
class WireClient
{
public:
    using Fields = QStringList;

    // From another loopback address when given, to be another host to the server.
    // With a CA file, over TLS trusting that CA only.
    bool connectTo(quint16 port, const QString& from = {}, const QString& caFile = {},
                   const QString& host = QStringLiteral("127.0.0.1"))
    {
        if (!from.isEmpty() && !socket_.bind(QHostAddress(from)))
            return false;
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { read(); });
        if (caFile.isEmpty()) {
            socket_.connectToHost(host, port);
            return socket_.waitForConnected(kWaitMs);
        }
        QSslConfiguration configuration = socket_.sslConfiguration();
        configuration.setCaCertificates(QSslCertificate::fromPath(caFile));
        socket_.setSslConfiguration(configuration);
        socket_.connectToHostEncrypted(host, port);
        // Serving events meanwhile: the other end may be in this process.
        return waitFor([&] {
                   return socket_.isEncrypted() ||
                          socket_.state() == QAbstractSocket::UnconnectedState;
               }) &&
               socket_.isEncrypted();
    }

    // Connects and logs on; true when the server accepted the user.
    bool logOnAt(quint16 port, const QString& name, const QString& password,
                 const QString& caFile = {}, const QString& host = QStringLiteral("127.0.0.1"))
    {
        return connectTo(port, {}, caFile, host) &&
               logOn(name, password).value(0) == QLatin1String("LIU");
    }

    // One write per message, as the client does.
    void send(const QByteArray& text)
    {
        socket_.write(text);
        socket_.flush();
    }

    // Waits for a message with this command word (and, when given, field 1); removes that one
    // message and returns its fields, trailer included, or nothing when none came.
    Fields take(const QString& command, const QString& field1 = {})
    {
        return takeFirst([&](const Fields& m) {
            return m.value(0) == command && (field1.isNull() || m.value(1) == field1);
        });
    }

    // As take(), for an answer behind thousands of other messages: waits as long as messages
    // keep arriving, and gives up only when none came for kWaitMs.
    Fields takeWhileArriving(const QString& command, const QString& field1 = {})
    {
        return takeFirst(
            [&](const Fields& m) {
                return m.value(0) == command && (field1.isNull() || m.value(1) == field1);
            },
            false, true);
    }

    // Messages received since the connection was made, those taken included: grows while the
    // server sends.
    qint64 arrived() const { return arrived_; }

    // A handshake round trip: everything the server queued for this client before it handled
    // the handshake has arrived once the answer is here.
    bool sync()
    {
        send(QByteArrayLiteral("HND~X1~1"));
        return !take(QStringLiteral("HND")).isEmpty();
    }

    // LIU and wait for the answer (LIU, Invalid or Version); returns its fields and drops it
    // with everything that came before it.
    Fields logOn(const QString& name, const QString& password,
                 const QString& version = QStringLiteral("1.1.1"))
    {
        send(wispline::ansi::encode(QStringLiteral("LIU~%1~%2~%3~00-11-22-33-44-55")
                                        .arg(name.toUpper(), password, version)));
        static const QStringList answers{QStringLiteral("LIU"), QStringLiteral("Invalid"),
                                         QStringLiteral("Version")};
        return takeFirst([](const Fields& m) { return answers.contains(m.value(0)); }, true);
    }

    // Messages received so far with this command word.
    QList<Fields> received(const QString& command) const
    {
        QList<Fields> out;
        std::copy_if(messages_.cbegin(), messages_.cend(), std::back_inserter(out),
                     [&](const Fields& m) { return m.value(0) == command; });
        return out;
    }

    // A paused client reads nothing more, so the server's output to it piles up.
    void pauseReading(bool paused)
    {
        paused_ = paused;
        socket_.setReadBufferSize(paused ? 1 : 0);
        read();
    }

    QList<Fields>& messages() { return messages_; }
    QTcpSocket& socket() { return socket_; }

    bool waitForClose()
    {
        return waitFor([&] { return socket_.state() == QAbstractSocket::UnconnectedState; });
    }

    // Takes the connection away from Qt, which reports a reset and an orderly close alike.
    void detach()
    {
        raw_ = ::dup(int(socket_.socketDescriptor()));
        socket_.abort(); // closes Qt's descriptor only: the connection lives on in raw_
    }

    // After detach(): reads until the stream ends, "reset", "close", or "open" when nothing
    // ended it. What came is added to rest.
    QString readToEnd(QByteArray* rest = nullptr)
    {
        char buffer[4096];
        for (pollfd p{raw_, POLLIN, 0}; ::poll(&p, 1, kWaitMs) > 0;) {
            const ssize_t n = ::recv(raw_, buffer, sizeof buffer, 0);
            if (n > 0 && rest)
                rest->append(buffer, n);
            else if (n == 0)
                return QStringLiteral("close");
            else if (n < 0 && errno != EINTR && errno != EAGAIN)
                return errno == ECONNRESET ? QStringLiteral("reset") : QString::number(errno);
        }
        return QStringLiteral("open");
    }

    ~WireClient()
    {
        if (raw_ >= 0)
            ::close(raw_);
    }

private:
    Fields takeFirst(const std::function<bool(const Fields&)>& wanted, bool dropEarlier = false,
                     bool whileArriving = false)
    {
        Fields found;
        const auto done = [&] {
            const auto it = std::find_if(messages_.begin(), messages_.end(), wanted);
            if (it == messages_.end())
                return false;
            found = *it;
            messages_.erase(dropEarlier ? messages_.begin() : it, it + 1);
            return true;
        };
        (void)(whileArriving ? waitWhileProgressing(done, [this] { return arrived_; })
                             : waitFor(done));
        return found;
    }

    void read()
    {
        if (paused_)
            return;
        pending_ += socket_.readAll();
        qsizetype start = 0;
        qsizetype end;
        while ((end = pending_.indexOf('`', start)) >= 0) {
            messages_.append(
                wispline::ansi::decode(QByteArrayView(pending_).sliced(start, end - start))
                    .split(QLatin1Char('~')));
            ++arrived_;
            start = end + 1;
        }
        pending_.remove(0, start);
    }

    bool paused_ = false;
    int raw_ = -1;
    qint64 arrived_ = 0;
    QSslSocket socket_;
    QByteArray pending_;
    QList<Fields> messages_;
};

// One request to the admin listener; sent at once, answered whenever the server gets to it.
class HttpRequest
{
public:
    HttpRequest(quint16 port, const QByteArray& path)
    {
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { reply_ += socket_.readAll(); });
        socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
        socket_.write("GET " + path + " HTTP/1.1\r\nHost: localhost\r\n\r\n");
    }
    // Connected and handed to the kernel: the server reads it whenever it turns.
    bool sent() const
    {
        return socket_.state() == QAbstractSocket::ConnectedState && !socket_.bytesToWrite();
    }
    bool answered() const
    {
        const qsizetype end = reply_.indexOf("\r\n\r\n");
        static const QRegularExpression length(QStringLiteral("Content-Length: (\\d+)"),
                                               QRegularExpression::CaseInsensitiveOption);
        const auto m = length.match(QString::fromLatin1(reply_.left(end)));
        return end >= 0 && m.hasMatch() && reply_.size() - end - 4 >= m.captured(1).toInt();
    }
    // The status and the body once answered, waiting for it; 0 when no answer came (the
    // connection ended without one).
    int status()
    {
        waitFor([&] { return answered() || socket_.state() == QAbstractSocket::UnconnectedState; });
        return answered() ? reply_.mid(9, 3).toInt() : 0;
    }
    QByteArray body()
    {
        return status() ? reply_.mid(reply_.indexOf("\r\n\r\n") + 4) : QByteArray();
    }

private:
    QTcpSocket socket_;
    QByteArray reply_;
};

// Stands in for the service manager's notification socket (NOTIFY_SOCKET): the datagrams the
// server sends to it, in order.
class NotifySocket
{
public:
    explicit NotifySocket(const QString& path) : path_(path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        qstrncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    ~NotifySocket() { ::close(fd_); }
    QString path() const { return path_; }
    // Forgets what came so far.
    void clear()
    {
        receive();
        received_.clear();
    }
    // Waits for a datagram holding this line, and forgets it with those before it.
    bool take(const QByteArray& line)
    {
        return waitFor([&] {
            receive();
            for (qsizetype i = 0; i < received_.size(); ++i) {
                if (received_[i].split('\n').contains(line)) {
                    received_.remove(0, i + 1);
                    return true;
                }
            }
            return false;
        });
    }

private:
    void receive()
    {
        char buffer[4096];
        ssize_t got;
        while ((got = ::recv(fd_, buffer, sizeof buffer, 0)) > 0)
            received_.append(QByteArray(buffer, got));
    }

    QString path_;
    int fd_ = -1;
    QList<QByteArray> received_;
};

} // namespace wispline::server::test
