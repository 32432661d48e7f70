// The log-on storm's parts, shared by --relogon (server_relogon.cpp) and --storm
// (server_storm.cpp): users on loopback addresses of their own that follow the client's rules
// while they have no level, the server process and its /metrics, and the users' database.
#pragma once

#include "base/Crypto.h"
#include "store/ServerStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace relogon
{

using Clock = std::chrono::steady_clock;

inline std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// A non-blocking connection from a simulated user's own source address, begun; -1 when it failed
// at once (the caller counts that as a failed attempt).
inline int connectFrom(in_addr from, const sockaddr_in& to)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr = from;
    ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
        errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline sockaddr_in loopbackPort(quint16 port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

inline double cpuOf(qint64 pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(pid));
    char buf[4096] = {};
    if (FILE* f = std::fopen(path, "r")) {
        buf[std::fread(buf, 1, sizeof buf - 1, f)] = 0;
        std::fclose(f);
    }
    const char* p = std::strrchr(buf, ')');
    unsigned long utime = 0;
    unsigned long stime = 0;
    if (p)
        std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

struct User {
    enum State { Idle, Connecting, Waiting, On, Ended };
    int fd = -1;
    std::string name;
    in_addr from{};
    State state = Idle;
    std::string in;
    int retries = 0;
    std::int64_t startAt = 0; // ms: the program starts
    std::int64_t nextTick = 0;
    const char* endedBy = "";
};

class Storm
{
public:
    Storm(int users, quint16 port) : users_(std::size_t(users)), port_(port)
    {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        for (std::size_t i = 0; i < users_.size(); ++i) {
            users_[i].name = "U" + std::to_string(10000 + i);
            users_[i].from.s_addr = htonl((127u << 24) | (2u << 16) | std::uint32_t(i + 1));
        }
    }
    ~Storm()
    {
        for (User& u : users_)
            closeSocket(u);
        ::close(epoll_);
    }
    // One round: every program starts within spreadMs; done when each is logged on or ended.
    // Returns the ms from the first start until the last log-on.
    std::int64_t run(int spreadMs, int* ended)
    {
        const std::int64_t start = nowMs();
        for (std::size_t i = 0; i < users_.size(); ++i) {
            User& u = users_[i];
            closeSocket(u);
            u.state = User::Idle;
            u.retries = 0;
            u.startAt =
                start +
                (spreadMs > 0 ? std::int64_t(i) * spreadMs / std::int64_t(users_.size()) : 0);
            u.nextTick = u.startAt;
        }
        std::int64_t last = start;
        for (;;) {
            const std::int64_t now = nowMs();
            int open = 0;
            for (User& u : users_) {
                if (u.state == User::On || u.state == User::Ended)
                    continue;
                ++open;
                if (now < u.nextTick)
                    continue;
                // The first tick opens the connection; each later one without a level opens
                // another, and the 16th ends the program.
                if (u.nextTick > u.startAt) {
                    if (u.state == User::Waiting)
                        readFrom(u);
                    if (u.state == User::On || u.state == User::Ended)
                        continue;
                    if (++u.retries > 15) {
                        end(u, "no level after 16 tries");
                        continue;
                    }
                }
                u.nextTick += 1000;
                connect(u);
            }
            if (open == 0)
                break;
            epoll_event events[512];
            const int n = ::epoll_wait(epoll_, events, 512, 10);
            for (int i = 0; i < n; ++i) {
                User& u = users_[events[i].data.u32];
                if (u.fd >= 0 && onEvent(u, events[i].events))
                    last = nowMs();
            }
        }
        *ended = int(std::count_if(users_.cbegin(), users_.cend(),
                                   [](const User& u) { return u.state == User::Ended; }));
        for (const char* why : {"no level after 16 tries", "closed in order", "refused"}) {
            const auto count = std::count_if(users_.cbegin(), users_.cend(), [&](const User& u) {
                return u.state == User::Ended && std::strcmp(u.endedBy, why) == 0;
            });
            if (count > 0)
                std::printf("    %ld ended: %s\n", long(count), why);
        }
        return last - start;
    }
    void disconnectAll()
    {
        for (User& u : users_)
            closeSocket(u);
    }
    const std::vector<User>& users() const { return users_; }
    // Hands a user's open connection over to the caller, who closes it.
    int release(std::size_t i)
    {
        User& u = users_[i];
        const int fd = u.fd;
        if (fd >= 0)
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        u.fd = -1;
        return fd;
    }

private:
    void closeSocket(User& u)
    {
        if (u.fd >= 0)
            ::close(u.fd);
        u.fd = -1;
        u.in.clear();
    }
    void end(User& u, const char* why)
    {
        closeSocket(u);
        u.state = User::Ended;
        u.endedBy = why;
    }
    void connect(User& u)
    {
        closeSocket(u);
        u.fd = connectFrom(u.from, loopbackPort(port_));
        if (u.fd < 0) {
            u.state = User::Idle;
            return;
        }
        u.state = User::Connecting;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = std::uint32_t(&u - users_.data());
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, u.fd, &ev);
    }
    // True when the user logged on.
    bool onEvent(User& u, std::uint32_t events)
    {
        if (u.state == User::Connecting) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(u.fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0) {
                closeSocket(u);
                if (error == ECONNRESET)
                    connect(u);
                else
                    u.state = User::Idle;
                return false;
            }
            if (!(events & EPOLLOUT))
                return false;
            u.state = User::Waiting;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u32 = std::uint32_t(&u - users_.data());
            ::epoll_ctl(epoll_, EPOLL_CTL_MOD, u.fd, &ev);
            const std::string liu = "LIU~" + u.name + "~pw" + u.name + "~1.1.1~00-00-00-00-00-00`";
            if (::send(u.fd, liu.data(), liu.size(), MSG_NOSIGNAL) < 0)
                connect(u);
            return false;
        }
        return readFrom(u);
    }
    bool readFrom(User& u)
    {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(u.fd, buf, sizeof buf, 0);
            if (n > 0) {
                u.in.append(buf, std::size_t(n));
                continue;
            }
            const bool on = u.in.rfind("LIU~", 0) == 0 || u.in.find("`LIU~") != std::string::npos;
            if (on) {
                u.state = User::On; // the connection stays open, as the program's does
                u.in.clear();
                return true;
            }
            if (u.in.find("Invalid~") != std::string::npos || n == 0) {
                // Refused, or closed in order: the program ends.
                end(u, n == 0 ? "closed in order" : "refused");
                return false;
            }
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                connect(u); // reset: at once again
            return false;
        }
    }

    std::vector<User> users_;
    quint16 port_;
    int epoll_ = -1;
};

class Server
{
public:
    bool start(const QString& database, quint16 port)
    {
        process_.setProcessChannelMode(QProcess::SeparateChannels);
        const QString log = qEnvironmentVariable("BENCH_SERVER_LOG");
        process_.setStandardErrorFile(log.isEmpty() ? QProcess::nullDevice() : log,
                                      QIODevice::Append);
        process_.start(QStringLiteral(WISPLINE_SERVER_PATH),
                       {QStringLiteral("--db"), database, QStringLiteral("--port"),
                        QString::number(port), QStringLiteral("--admin"),
                        QStringLiteral("127.0.0.1:0")});
        static const QRegularExpression listening(QStringLiteral("listening on [0-9.]+:(\\d+)"));
        static const QRegularExpression admin(QStringLiteral("admin on [0-9.]+:(\\d+)"));
        QString out;
        while (process_.waitForReadyRead(30000)) {
            out += QString::fromUtf8(process_.readAllStandardOutput());
            const auto p = listening.match(out);
            const auto a = admin.match(out);
            if (p.hasMatch() && a.hasMatch()) {
                port_ = quint16(p.captured(1).toUInt());
                adminPort_ = quint16(a.captured(1).toUInt());
                return true;
            }
        }
        return false;
    }
    void stop()
    {
        ::kill(pid_t(process_.processId()), SIGTERM);
        process_.waitForFinished(60000);
    }
    qint64 pid() const { return process_.processId(); }
    quint16 port() const { return port_; }
    // A counter or gauge of /metrics, with its labels.
    double metric(const char* series) const
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(adminPort_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string reply;
        const timeval wait{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
            const std::string ask =
                "GET /metrics HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
            ::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL);
            char buf[65536];
            ssize_t n;
            while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
                reply.append(buf, std::size_t(n));
        }
        ::close(fd);
        const std::size_t at = reply.find(std::string("\n") + series + ' ');
        return at == std::string::npos ? -1
                                       : std::atof(reply.c_str() + at + std::strlen(series) + 2);
    }

private:
    QProcess process_;
    quint16 port_ = 0;
    quint16 adminPort_ = 0;
};

// The users, each with a hash of the default cost, made on every core.
inline bool addUsers(const QString& database, int count)
{
    wispline::server::ServerStore store;
    QString error;
    if (!store.open(database, &error)) {
        std::fprintf(stderr, "cannot open %s: %s\n", qPrintable(database), qPrintable(error));
        return false;
    }
    std::vector<wispline::server::PasswordHash> hashes;
    hashes.resize(std::size_t(count));
    std::atomic<int> next{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < std::max(1, QThread::idealThreadCount()); ++t)
        threads.emplace_back([&] {
            for (int i; (i = next++) < count;)
                hashes[std::size_t(i)] = store.hashPassword("pwU" + QByteArray::number(10000 + i));
        });
    for (std::thread& t : threads)
        t.join();
    QSqlDatabase db = store.addConnection(QStringLiteral("users"));
    bool ok = db.open() && db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO accounts(name, level, supervisor, salt, hash, "
                             "iterations) VALUES(?, 1, '', ?, ?, ?)"));
    for (int i = 0; ok && i < count; ++i) {
        q.addBindValue(QStringLiteral("U%1").arg(10000 + i));
        q.addBindValue(hashes[std::size_t(i)].salt);
        q.addBindValue(hashes[std::size_t(i)].hash);
        q.addBindValue(hashes[std::size_t(i)].iterations);
        ok = q.exec();
    }
    ok = ok && db.commit();
    q = QSqlQuery();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("users"));
    return ok;
}

// The users' database: made in the temporary folder, or kept in FILE and made there once. A
// kept one starts each run without verifiers or known addresses. Empty when it cannot be had.
inline QString prepareDatabase(const QString& kept, const QTemporaryDir& dir, int users)
{
    const QString database = kept.isEmpty() ? dir.filePath(QStringLiteral("storm.db")) : kept;
    if (QFile::exists(database)) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("k"));
        db.setDatabaseName(database);
        QSqlQuery q(db);
        const bool ok = db.open() && q.exec(QStringLiteral("DELETE FROM verifiers")) &&
                        q.exec(QStringLiteral("DELETE FROM origins"));
        q = QSqlQuery();
        db.close();
        db = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("k"));
        return ok ? database : QString();
    }
    return addUsers(database, users) ? database : QString();
}

} // namespace relogon
