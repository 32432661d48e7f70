// Scale run of bench_server_load (--scale N): N users, each on a loopback address of its own
// (127.2.0.1 and up), log on to one server on SQLite, a bounded number at a time; then a few
// hundred of them trade one-to-one messages at a fixed rate while the rest stay idle. Reports
// the seconds and the server's CPU for the log-on of all, the server's resident memory once
// everyone is on and every answer is read, and the delivery latency percentiles and CPU per
// delivery of the traffic. Run it as root in a network namespace of its own (bench/scale.sh does):
// the descriptor limit is raised here, for this process and the server it starts alone.
//
// The accounts are written straight into the database, all with one password and one hash of
// the given cost (--cost, the shipped one by default), and, unless --verifiers 0, with the fast
// verifier a full check would have left (made with the server key the server is then given): the
// log-on measured is that of users who logged on within the verifier days, as after a restart.
// With --verifiers 0 each log-on is a full check at that cost.
//   build/bench/bench_server_load --scale 100000 [--active 300] [--rate 5000] [--seconds 20]
//       [--window 256] [--cost N] [--verifiers 0|1] [--leave 0|1] [--idle 10] [--log 0|1]
// --idle: the seconds every user sits idle between the log-on and the traffic; --log 1: the
// server writes its log, and the run shows how the connections that ended before the leaving
// ended, as the server saw it.
// Last (unless --leave 0), everyone but the first user drops at once, and the run reports how
// long until that one has been told of every leaving.
// The budgets of a connection are lifted, as in the other load runs; the caps on connections not
// logged on and on checks are the shipped ones (the window stays under them).
#include "base/Crypto.h"
#include "bench_common.h"
#include "server_relogon.h"
#include "store/ServerStore.h"
#include "store/Verifiers.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{

using relogon::Clock;

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

constexpr char kPassword[] = "pwscale";

struct ScaleOptions {
    int users = 0;
    int active = 300;
    double rate = 5000;
    int seconds = 20;
    int window = 256;
    int cost = wispline::server::ServerStore::kDefaultKdfIterations;
    bool verifiers = true;
    bool leave = true;
    int idle = 10;    // seconds all sit idle before the traffic
    bool log = false; // the server writes its log (shown at the end) rather than none
};

std::string userName(int i)
{
    return "U" + std::to_string(100000 + i);
}

in_addr sourceOf(int i)
{
    in_addr a{};
    a.s_addr = htonl((127u << 24) | (2u << 16) | std::uint32_t(i + 1));
    return a;
}

double residentMb(qint64 pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/status", static_cast<long long>(pid));
    double kb = 0;
    if (FILE* f = std::fopen(path, "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmRSS: %lf kB", &kb) == 1)
                break;
        std::fclose(f);
    }
    return kb / 1024;
}

// Packets the kernel dropped since it started, all cores: its input queue (the loopback's too)
// holds net.core.netdev_max_backlog packets a core, and what comes beyond that is lost.
long long softnetDrops()
{
    long long dropped = 0;
    if (FILE* f = std::fopen("/proc/net/softnet_stat", "r")) {
        unsigned processed = 0, lost = 0;
        char rest[512];
        while (std::fscanf(f, "%x %x", &processed, &lost) == 2) {
            dropped += lost;
            if (!std::fgets(rest, sizeof rest, f))
                break;
        }
        std::fclose(f);
    }
    return dropped;
}

// The accounts, and their verifiers under the key in keyFile, in one transaction.
bool makeUsers(const QString& database, const QString& keyFile, const ScaleOptions& o)
{
    using namespace wispline::server;
    QByteArray key;
    QString error;
    if (!crypto::loadServerKey(keyFile, &key, &error)) {
        std::fprintf(stderr, "server key: %s\n", qPrintable(error));
        return false;
    }
    ServerStore store;
    store.setKdfIterations(o.cost);
    if (!store.open(database, &error)) {
        std::fprintf(stderr, "database: %s\n", qPrintable(error));
        return false;
    }
    const PasswordHash hash = store.hashPassword(kPassword);
    const QByteArray keyId = Verifiers::keyIdOf(key);
    const qint64 made = QDateTime::currentSecsSinceEpoch();
    bool ok = false;
    {
        QSqlDatabase db = store.addConnection(QStringLiteral("scale"));
        QSqlQuery account(db);
        QSqlQuery verifier(db);
        ok = db.open() && db.transaction() &&
             account.prepare(QStringLiteral("INSERT INTO accounts(name, level, supervisor, salt, "
                                            "hash, iterations) VALUES(?, 1, '', ?, ?, ?)")) &&
             verifier.prepare(QStringLiteral("INSERT INTO verifiers(name, verifier, key_id, made) "
                                             "VALUES(?, ?, ?, ?)"));
        Account a;
        a.level = 1;
        a.salt = hash.salt;
        a.hash = hash.hash;
        a.iterations = hash.iterations;
        for (int i = 0; ok && i < o.users; ++i) {
            a.name = QString::fromStdString(userName(i));
            account.bindValue(0, a.name);
            account.bindValue(1, a.salt);
            account.bindValue(2, a.hash);
            account.bindValue(3, a.iterations);
            ok = account.exec();
            if (ok && o.verifiers) {
                verifier.bindValue(0, a.name);
                verifier.bindValue(1, Verifiers::verifierOf(key, a, kPassword));
                verifier.bindValue(2, keyId);
                verifier.bindValue(3, made);
                ok = verifier.exec();
            }
        }
        ok = ok && db.commit();
        if (!ok)
            std::fprintf(stderr, "could not add the users: %s %s\n",
                         qPrintable(account.lastError().text()),
                         qPrintable(verifier.lastError().text()));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("scale"));
    return ok;
}

class Crowd
{
public:
    Crowd(const ScaleOptions& o, quint16 port, qint64 serverPid)
        : o_(o), to_(relogon::loopbackPort(port)), serverPid_(serverPid),
          peers_(std::size_t(o.users))
    {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    }
    ~Crowd()
    {
        for (Peer& p : peers_)
            if (p.fd >= 0)
                ::close(p.fd);
        ::close(epoll_);
    }

    bool logOnAll(int timeoutSeconds);
    bool handshakeAll(int first, int count, int timeoutSeconds);
    void traffic();
    // Everyone but the first user drops at once; done when that one has heard each leaving.
    bool leave(int timeoutSeconds);

private:
    enum State : std::uint8_t { Idle, Connecting, Waiting, On, Failed };
    // As little as can be per user: only the start of each frame is kept, up to the '`' that
    // ends it (the lists of users a newcomer is sent hold every name).
    struct Peer {
        int fd = -1;
        State state = Idle;
        std::uint8_t headLength = 0;
        std::uint8_t tries = 0;
        std::uint32_t handshakes = 0;
        char head[48];
        std::string out;
    };

    void open(int i);
    void watch(int i, std::uint32_t events, int op);
    void onEvent(int i, std::uint32_t events);
    void readFrom(int i);
    void frameEnded(int i);
    void send(int i, const std::string& message);
    void flush(int i);
    void poll(int timeoutMs);
    void retry(int i, const char* why);

    ScaleOptions o_;
    sockaddr_in to_;
    qint64 serverPid_;
    std::vector<Peer> peers_;
    int epoll_ = -1;
    int next_ = 0;       // the next user to start logging on
    int inFlight_ = 0;   // connecting or waiting for the answer
    int on_ = 0;         // logged on
    long retries_ = 0;   // connections opened again
    int failed_ = 0;     // gave up
    long heardGone_ = 0; // LGO frames the first user was sent
    std::vector<std::int64_t> latencies_;
};

void Crowd::watch(int i, std::uint32_t events, int op)
{
    epoll_event ev{};
    ev.events = events;
    ev.data.u32 = std::uint32_t(i);
    ::epoll_ctl(epoll_, op, peers_[std::size_t(i)].fd, &ev);
}

void Crowd::open(int i)
{
    Peer& p = peers_[std::size_t(i)];
    p.fd = relogon::connectFrom(sourceOf(i), to_);
    p.headLength = 0;
    if (p.fd < 0) {
        retry(i, "connect");
        return;
    }
    p.state = Connecting;
    watch(i, EPOLLIN | EPOLLOUT, EPOLL_CTL_ADD);
}

void Crowd::retry(int i, const char* why)
{
    Peer& p = peers_[std::size_t(i)];
    if (p.fd >= 0)
        ::close(p.fd);
    p.fd = -1;
    if (++p.tries > 5) {
        std::fprintf(stderr, "%s: gave up (%s: %s)\n", userName(i).c_str(), why,
                     std::strerror(errno));
        p.state = Failed;
        --inFlight_;
        ++failed_;
        return;
    }
    ++retries_;
    open(i);
}

void Crowd::onEvent(int i, std::uint32_t events)
{
    Peer& p = peers_[std::size_t(i)];
    if (p.state == Connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            errno = error;
            retry(i, "connect");
            return;
        }
        if (!(events & EPOLLOUT))
            return;
        p.state = Waiting;
        watch(i, EPOLLIN, EPOLL_CTL_MOD);
        const std::string name = userName(i);
        send(i, "LIU~" + name + "~" + kPassword + "~1.1.1~00-00-00-00-00-00");
        return;
    }
    if (events & EPOLLOUT)
        flush(i);
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
        readFrom(i);
}

void Crowd::readFrom(int i)
{
    static char buf[1 << 18];
    for (;;) {
        Peer& p = peers_[std::size_t(i)];
        if (p.fd < 0)
            return;
        const ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return;
            if (p.state == Waiting) {
                retry(i, n == 0 ? "closed" : "reset");
            } else if (p.state == On) {
                std::fprintf(stderr, "%s: connection lost after its log-on (%s)\n",
                             userName(i).c_str(), n == 0 ? "closed" : std::strerror(errno));
                ::close(p.fd);
                p.fd = -1;
                p.state = Failed;
                --on_;
                ++failed_;
            }
            return;
        }
        const char* at = buf;
        const char* end = buf + n;
        while (at < end) {
            const char* tick =
                static_cast<const char*>(std::memchr(at, '`', std::size_t(end - at)));
            const char* stop = tick ? tick : end;
            const std::size_t room = sizeof p.head - p.headLength;
            const std::size_t take = std::min(room, std::size_t(stop - at));
            std::memcpy(p.head + p.headLength, at, take);
            p.headLength = std::uint8_t(p.headLength + take);
            if (!tick)
                break;
            frameEnded(i);
            if (peers_[std::size_t(i)].fd < 0)
                return;
            p.headLength = 0;
            at = tick + 1;
        }
    }
}

void Crowd::frameEnded(int i)
{
    Peer& p = peers_[std::size_t(i)];
    const std::size_t len = p.headLength;
    const auto startsWith = [&](const char* what) {
        const std::size_t n = std::strlen(what);
        return len >= n && std::memcmp(p.head, what, n) == 0;
    };
    if (startsWith("SND~")) {
        const char* mark = static_cast<const char*>(memmem(p.head, len, "<- T", 4));
        if (mark) {
            std::string digits(mark + 4, std::size_t(p.head + len - mark - 4));
            latencies_.push_back(nowNs() - std::strtoll(digits.c_str(), nullptr, 10));
        }
    } else if (i == 0 && startsWith("LGO~")) {
        ++heardGone_;
    } else if (startsWith("HND~")) {
        ++p.handshakes;
    } else if (p.state == Waiting && startsWith("LIU~")) {
        p.state = On;
        --inFlight_;
        ++on_;
    } else if (p.state == Waiting && (startsWith("Invalid~") || startsWith("Version~"))) {
        std::fprintf(stderr, "%s: log-on refused: %.*s\n", userName(i).c_str(), int(len), p.head);
        ::close(p.fd);
        p.fd = -1;
        p.state = Failed;
        --inFlight_;
        ++failed_;
    }
}

void Crowd::send(int i, const std::string& message)
{
    Peer& p = peers_[std::size_t(i)];
    if (p.out.empty()) {
        const ssize_t n = ::send(p.fd, message.data(), message.size(), MSG_NOSIGNAL);
        if (n == ssize_t(message.size()))
            return;
        p.out.assign(message, n > 0 ? std::size_t(n) : 0, std::string::npos);
    } else {
        p.out += message;
    }
    flush(i);
}

void Crowd::flush(int i)
{
    Peer& p = peers_[std::size_t(i)];
    while (!p.out.empty()) {
        const ssize_t n = ::send(p.fd, p.out.data(), p.out.size(), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        p.out.erase(0, std::size_t(n));
    }
    watch(i, p.out.empty() ? EPOLLIN : std::uint32_t(EPOLLIN | EPOLLOUT), EPOLL_CTL_MOD);
    if (p.out.empty())
        std::string().swap(p.out);
}

void Crowd::poll(int timeoutMs)
{
    epoll_event events[512];
    const int n = ::epoll_wait(epoll_, events, 512, timeoutMs);
    for (int k = 0; k < n; ++k) {
        const int i = int(events[k].data.u32);
        if (peers_[std::size_t(i)].fd >= 0)
            onEvent(i, events[k].events);
    }
}

bool Crowd::logOnAll(int timeoutSeconds)
{
    const std::int64_t start = nowNs();
    const std::int64_t deadline = start + std::int64_t(timeoutSeconds) * 1000000000LL;
    const double cpu0 = relogon::cpuOf(serverPid_);
    int reported = 0;
    while (on_ + failed_ < o_.users && nowNs() < deadline) {
        while (inFlight_ < o_.window && next_ < o_.users) {
            ++inFlight_;
            open(next_++);
        }
        poll(10);
        if (on_ >= reported + o_.users / 10 && on_ < o_.users) {
            reported = on_;
            std::printf("  %6d on after %7.1f s (load average %.1f)\n", on_,
                        double(nowNs() - start) / 1e9, bench::loadAverage());
        }
    }
    const double seconds = double(nowNs() - start) / 1e9;
    const double cpu = relogon::cpuOf(serverPid_) - cpu0;
    std::printf("log-on of %d users (%s, %d rounds), %d at a time: %.1f s, %.0f per second; "
                "server CPU %.1f s, %.0f us each; %ld connections opened again, %d failed\n",
                on_, o_.verifiers ? "fast verifiers" : "full checks", o_.cost, o_.window, seconds,
                double(on_) / seconds, cpu, on_ ? cpu * 1e6 / on_ : 0.0, retries_, failed_);
    return on_ == o_.users;
}

bool Crowd::handshakeAll(int first, int count, int timeoutSeconds)
{
    // Each answer follows whatever the server sent the user before: once all are in, every list
    // of newcomers is read and the server's output drained.
    std::vector<std::uint32_t> target(static_cast<std::size_t>(count));
    for (int k = 0; k < count; ++k) {
        Peer& p = peers_[std::size_t(first + k)];
        target[std::size_t(k)] = p.handshakes + 1;
        send(first + k, "HND~" + userName(first + k) + "1~1");
        if (k % 64 == 63)
            poll(0);
    }
    const std::int64_t deadline = nowNs() + std::int64_t(timeoutSeconds) * 1000000000LL;
    for (int k = 0; k < count;) {
        if (peers_[std::size_t(first + k)].handshakes >= target[std::size_t(k)] ||
            peers_[std::size_t(first + k)].state != On) {
            ++k;
            continue;
        }
        if (nowNs() > deadline)
            return false;
        poll(50);
    }
    return true;
}

void Crowd::traffic()
{
    const int active = std::min(o_.active, o_.users);
    const long count = long(o_.rate * o_.seconds);
    latencies_.clear();
    latencies_.reserve(std::size_t(count));
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> pick(0, active - 1);
    // The active users are spread over the crowd, from the first to log on to the last.
    const auto user = [&](int k) { return int(std::int64_t(k) * o_.users / active); };
    const double load0 = bench::loadAverage();
    const double cpu0 = relogon::cpuOf(serverPid_);
    const std::int64_t start = nowNs();
    const std::int64_t deadline = start + std::int64_t(o_.seconds + 30) * 1000000000LL;
    long sent = 0;
    std::string message;
    while ((sent < count || long(latencies_.size()) < sent) && nowNs() < deadline) {
        const long due = std::min(count, long(double(nowNs() - start) * o_.rate / 1e9) + 1);
        while (sent < due) {
            const int from = user(pick(random));
            int to;
            do
                to = user(pick(random));
            while (to == from);
            message.assign("SND~");
            message += userName(from);
            message += "1~T";
            message += std::to_string(nowNs());
            message += " scale message number ";
            message += std::to_string(sent);
            message += '~';
            message += userName(to);
            message += "1~NOONE";
            send(from, message);
            ++sent;
        }
        poll(sent < count ? 1 : 5);
    }
    const double cpu = relogon::cpuOf(serverPid_) - cpu0;
    const double seconds = double(nowNs() - start) / 1e9;
    std::sort(latencies_.begin(), latencies_.end());
    const auto percentile = [&](double p) {
        if (latencies_.empty())
            return 0.0;
        const std::size_t i =
            std::min(latencies_.size() - 1, std::size_t(p * double(latencies_.size())));
        return double(latencies_[i]) / 1e6;
    };
    std::printf("one-to-one at %.0f messages/s among %d active users of %d, %d s\n", o_.rate,
                active, o_.users, o_.seconds);
    std::printf("  sent %ld, delivered %zu in %.1f s%s\n", sent, latencies_.size(), seconds,
                long(latencies_.size()) < sent ? "  (TIMED OUT)" : "");
    std::printf("  latency ms: p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", percentile(0.50),
                percentile(0.90), percentile(0.99), percentile(1.0));
    std::printf("  server CPU %.2f s, %.1f us per delivery; load average %.1f before, %.1f "
                "after\n",
                cpu, latencies_.empty() ? 0.0 : cpu * 1e6 / double(latencies_.size()), load0,
                bench::loadAverage());
}

bool Crowd::leave(int timeoutSeconds)
{
    const double load0 = bench::loadAverage();
    const double cpu0 = relogon::cpuOf(serverPid_);
    const std::int64_t start = nowNs();
    heardGone_ = 0;
    long left = 0;
    for (std::size_t i = 1; i < peers_.size(); ++i) {
        Peer& p = peers_[i];
        if (p.fd < 0)
            continue;
        ::close(p.fd);
        p.fd = -1;
        p.state = Failed;
        ++left;
    }
    const std::int64_t deadline = start + std::int64_t(timeoutSeconds) * 1000000000LL;
    while (heardGone_ < left && nowNs() < deadline && peers_[0].fd >= 0)
        poll(50);
    const double seconds = double(nowNs() - start) / 1e9;
    std::printf("%ld users dropped at once: the one left on heard of all in %.1f s%s; server "
                "CPU %.1f s; load average %.1f before, %.1f after\n",
                left, seconds, heardGone_ < left ? " (TIMED OUT)" : "",
                relogon::cpuOf(serverPid_) - cpu0, load0, bench::loadAverage());
    return heardGone_ >= left;
}

bool readScaleOptions(const QStringList& args, ScaleOptions* o)
{
    for (int i = 0; i + 1 < args.size(); i += 2) {
        const QString& key = args[i];
        bool ok = false;
        const double v = args[i + 1].toDouble(&ok);
        if (!ok)
            return false;
        if (key == QLatin1String("--scale"))
            o->users = int(v);
        else if (key == QLatin1String("--active"))
            o->active = int(v);
        else if (key == QLatin1String("--rate"))
            o->rate = v;
        else if (key == QLatin1String("--seconds"))
            o->seconds = int(v);
        else if (key == QLatin1String("--window"))
            o->window = int(v);
        else if (key == QLatin1String("--cost"))
            o->cost = int(v);
        else if (key == QLatin1String("--verifiers"))
            o->verifiers = v != 0;
        else if (key == QLatin1String("--leave"))
            o->leave = v != 0;
        else if (key == QLatin1String("--idle"))
            o->idle = int(v);
        else if (key == QLatin1String("--log"))
            o->log = v != 0;
        else
            return false;
    }
    // Each user has an address of its own within 127.2.0.0/15.
    return args.size() % 2 == 0 && o->users >= 2 && o->users <= 130000 && o->active >= 2 &&
           o->rate > 0 && o->seconds > 0 && o->window >= 1 && o->cost >= 1 && o->idle >= 1;
}

// Descriptors for this process and the server it starts (which inherits the limit): both ends
// of every connection, and some to spare. Raising the hard limit takes CAP_SYS_RESOURCE, which
// root in a container may lack: the run then says how many users the limit allows.
constexpr rlim_t kSpareDescriptors = 256;

bool raiseDescriptors(int users)
{
    const rlim_t wanted = rlim_t(users) + kSpareDescriptors;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= wanted)
        return true;
    rlimit raised{wanted, std::max(limit.rlim_max, wanted)};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
        return true;
    std::fprintf(stderr,
                 "cannot raise the descriptor limit to %lu (%s): its hard limit here is %lu, "
                 "enough for %ld users; run as root with CAP_SYS_RESOURCE (bench/scale.sh)\n",
                 static_cast<unsigned long>(wanted), std::strerror(errno),
                 static_cast<unsigned long>(limit.rlim_max),
                 long(limit.rlim_max) - long(kSpareDescriptors));
    return false;
}

} // namespace

int runScale(const QStringList& args)
{
    ScaleOptions o;
    if (!readScaleOptions(args, &o)) {
        std::fprintf(stderr,
                     "usage: bench_server_load --scale N [--active N] [--rate PER_S] "
                     "[--seconds S] [--window N] [--cost ROUNDS] [--verifiers 0|1] [--leave 0|1] "
                     "[--idle S] [--log 0|1]\n");
        return 2;
    }
    if (!raiseDescriptors(o.users))
        return 1;
    ::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    QTemporaryDir dir;
    const QString database = dir.filePath(QStringLiteral("scale.db"));
    const QString keyFile = dir.filePath(QStringLiteral("verifier.key"));
    const std::int64_t made = nowNs();
    if (!makeUsers(database, keyFile, o))
        return 1;
    std::printf("%d users, one password hash of %d rounds%s, written in %.1f s\n", o.users, o.cost,
                o.verifiers ? " and a fast verifier each" : "", double(nowNs() - made) / 1e9);

    const long long drops0 = softnetDrops();
    QProcess server;
    const QString log = dir.filePath(QStringLiteral("server.log"));
    server.setStandardErrorFile(log);
    QStringList arguments{QStringLiteral("--db"), database, QStringLiteral("--port"),
                          QStringLiteral("0")};
    arguments << QStringLiteral("--kdf-iterations") << QString::number(o.cost)
              << QStringLiteral("--verifier-key")
              << keyFile
              // Each active user sends far more than a person could.
              << bench::liftedBudgets();
    if (!o.log)
        arguments << QStringLiteral("--quiet");
    server.start(QStringLiteral(WISPLINE_SERVER_PATH), arguments);
    const quint16 port = server.waitForStarted(10000) ? bench::listeningPort(server, 30000) : 0;
    if (port == 0) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const qint64 pid = server.processId();
    const double startMb = residentMb(pid);
    std::printf("server at start: %.1f MB; load average %.1f\n", startMb, bench::loadAverage());

    int rc = 0;
    qint64 logBeforeLeaving = -1;
    {
        Crowd crowd(o, port, pid);
        if (!crowd.logOnAll(3600) || !crowd.handshakeAll(0, o.users, 600)) {
            std::fprintf(stderr, "not every user logged on; the server's log: %s\n",
                         qPrintable(log));
            rc = 1;
        } else {
            // Read once it stops moving: the verifiers and addresses of the log-ons are written
            // within seconds, and what that frees stays with the process.
            double mb = residentMb(pid);
            for (int i = 0; i < 20; ++i) {
                ::usleep(1000000);
                const double now = residentMb(pid);
                const bool still = std::abs(now - mb) < 0.2;
                mb = now;
                if (still)
                    break;
            }
            std::printf("server memory with %d users on and idle: %.1f MB (%.2f KB a user above "
                        "the start)\n",
                        o.users, mb, (mb - startMb) * 1024 / o.users);
            // What idle users cost the server's CPU: timers, scans, keep-alives, and the
            // log-on deadlines that fall due 30 s after each connection opened.
            const double idleCpu = relogon::cpuOf(pid);
            const std::int64_t idleFrom = nowNs();
            ::sleep(unsigned(o.idle));
            std::printf("server CPU while all sit idle: %.1f ms a second\n",
                        (relogon::cpuOf(pid) - idleCpu) * 1e12 / double(nowNs() - idleFrom));
            crowd.traffic();
            std::printf("server memory after the traffic: %.1f MB\n", residentMb(pid));
            logBeforeLeaving = QFileInfo(log).size();
            if (o.leave && !crowd.leave(3600))
                rc = 1;
        }
        // Stopped before the users leave: each leaving is told to everyone still on, which a
        // crowd leaving at once would make a long wait of.
        const std::int64_t stopping = nowNs();
        ::kill(pid_t(pid), SIGTERM);
        if (!server.waitForFinished(600000)) {
            server.kill();
            server.waitForFinished();
        }
        std::printf("server stopped in %.1f s\n", double(nowNs() - stopping) / 1e9);
    }
    std::printf("packets the kernel dropped from its input queues during the run: %lld\n",
                softnetDrops() - drops0);
    if (o.log && QFile::exists(log)) {
        // How each connection that ended before the leaving ended, as the server saw it.
        QFile f(log);
        int shown = 0;
        if (f.open(QIODevice::ReadOnly))
            while (!f.atEnd() && (logBeforeLeaving < 0 || f.pos() < logBeforeLeaving)) {
                const QByteArray line = f.readLine();
                if ((line.contains("error") || line.contains("lost") || line.contains("dropped") ||
                     line.contains("closed")) &&
                    shown++ < 40)
                    std::fprintf(stderr, "server: %s", line.constData());
            }
        std::fprintf(stderr, "server: %d such line(s)\n", shown);
    }
    if (rc != 0 && QFile::exists(log)) {
        QFile f(log);
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray all = f.readAll();
            std::fprintf(stderr, "%s\n", all.right(4000).constData());
        }
    }
    return rc;
}
