#pragma once
// Runs the real wispline-server executable on an ephemeral port with a database of its own, and
// talks to it like a client does.
#include <QByteArray>
#include <QDir>
#include <QList>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <functional>

namespace wispline::server::test
{

inline QString serverPath()
{
    return QStringLiteral(WISPLINE_SERVER_PATH);
}

struct AdminResult {
    int exitCode = -1;
    QString out;
    QString err;
};

// One admin command against a database; the process exits by itself.
// An empty database runs without --db, on the default file.
inline AdminResult
runAdmin(const QString& database, const QStringList& arguments,
         const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.start(serverPath(),
            (database.isEmpty() ? QStringList() : QStringList{QStringLiteral("--db"), database}) +
                arguments);
    AdminResult r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

class ServerProcess
{
public:
    ~ServerProcess() { kill(); }

    // Starts the server on port 0 and waits for the "listening on" line.
    bool start(const QString& database, const QStringList& extra = {})
    {
        output_.clear();
        port_ = 0;
        // The server's log goes to this test's output, where a failure can be read.
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(serverPath(), QStringList{QStringLiteral("--db"), database,
                                                 QStringLiteral("--port"), QStringLiteral("0")} +
                                         extra);
        if (!process_.waitForStarted(30000))
            return false;
        static const QRegularExpression line(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        return QTest::qWaitFor(
                   [&] {
                       output_ += QString::fromUtf8(process_.readAllStandardOutput());
                       const QRegularExpressionMatch m = line.match(output_);
                       if (m.hasMatch())
                           port_ = quint16(m.captured(1).toUInt());
                       return port_ != 0 || process_.state() == QProcess::NotRunning;
                   },
                   30000) &&
               port_ != 0;
    }

    quint16 port() const { return port_; }
    bool running() const { return process_.state() == QProcess::Running; }
    QString output()
    {
        output_ += QString::fromUtf8(process_.readAllStandardOutput());
        return output_;
    }

    void signal(int number) { ::kill(pid_t(process_.processId()), number); }

    // SIGTERM and wait for the exit; the exit code, or -1 when it did not end normally.
    int stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return -1;
        signal(SIGTERM);
        if (!process_.waitForFinished(30000))
            return -1;
        port_ = 0;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    // Waits for the process to end by itself; the exit code, or -1 when it did not end normally.
    int waitForExit()
    {
        if (process_.state() != QProcess::NotRunning && !process_.waitForFinished(30000))
            return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    void kill()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(30000);
        }
    }

private:
    QProcess process_;
    QString output_;
    quint16 port_ = 0;
};

// One client connection: sends raw text, collects every framed message the server sends.
class WireClient
{
public:
    using Fields = QStringList;

    bool connectTo(quint16 port)
    {
        socket_.connectToHost(QStringLiteral("127.0.0.1"), port);
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { read(); });
        return socket_.waitForConnected(10000);
    }

    // One write per message, as the client does.
    void send(const QByteArray& text)
    {
        socket_.write(text);
        socket_.flush();
    }

    // Waits until a message with this command word (and, when given, field 1) has arrived;
    // returns its fields (trailer included) and removes that one message.
    Fields take(const QString& command, const QString& field1 = {}, int timeoutMs = 10000)
    {
        Fields found;
        [[maybe_unused]] const bool arrived = QTest::qWaitFor(
            [&] {
                for (qsizetype i = 0; i < messages_.size(); ++i) {
                    const Fields& m = messages_[i];
                    if (m.value(0) == command && (field1.isNull() || m.value(1) == field1)) {
                        found = m;
                        messages_.remove(i);
                        return true;
                    }
                }
                return false;
            },
            timeoutMs);
        return found;
    }

    // A handshake round trip: everything the server queued for this client before it handled
    // the handshake has arrived once the answer is here.
    bool sync() { return syncWith(QByteArrayLiteral("HND~X1~1"), QStringLiteral("HND")); }

    // Sends a request and waits for the first answer with this command word, which is removed;
    // messages that came before it stay.
    bool syncWith(const QByteArray& request, const QString& replyCommand)
    {
        send(request);
        return QTest::qWaitFor(
            [&] {
                for (qsizetype i = 0; i < messages_.size(); ++i) {
                    if (messages_[i].value(0) == replyCommand) {
                        messages_.remove(i);
                        return true;
                    }
                }
                return false;
            },
            10000);
    }

    // Messages received so far with this command word.
    QList<Fields> received(const QString& command) const
    {
        QList<Fields> out;
        for (const Fields& m : messages_) {
            if (m.value(0) == command)
                out.append(m);
        }
        return out;
    }

    QList<Fields>& messages() { return messages_; }
    QByteArray rawInput() const { return raw_; }
    QTcpSocket& socket() { return socket_; }

    bool waitForClose(int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return socket_.state() == QAbstractSocket::UnconnectedState; },
                               timeoutMs);
    }

    // LIU and wait for the answer (LIU, Invalid or Version); returns its fields.
    Fields logOn(const QString& name, const QString& password,
                 const QString& version = QStringLiteral("1.1.1"))
    {
        send(QStringLiteral("LIU~%1~%2~%3~00-11-22-33-44-55")
                 .arg(name.toUpper(), password, version)
                 .toLatin1());
        Fields reply;
        [[maybe_unused]] const bool arrived = QTest::qWaitFor(
            [&] {
                for (qsizetype i = 0; i < messages_.size(); ++i) {
                    const QString c = messages_[i].value(0);
                    if (c == QLatin1String("LIU") || c == QLatin1String("Invalid") ||
                        c == QLatin1String("Version")) {
                        reply = messages_[i];
                        messages_.remove(0, i + 1);
                        return true;
                    }
                }
                return false;
            },
            10000);
        return reply;
    }

private:
    void read()
    {
        const QByteArray bytes = socket_.readAll();
        raw_ += bytes;
        pending_ += bytes;
        qsizetype end;
        while ((end = pending_.indexOf('`')) >= 0) {
            messages_.append(QString::fromLatin1(pending_.left(end)).split(QLatin1Char('~')));
            pending_.remove(0, end + 1);
        }
    }

    QTcpSocket socket_;
    QByteArray raw_;
    QByteArray pending_;
    QList<Fields> messages_;
};

} // namespace wispline::server::test
