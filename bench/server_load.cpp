// Load generator for wispline-server. Starts the real server on port 0 with a throw-away
// database, logs N clients on over loopback and measures:
//   1. one-to-one messages sent at a fixed rate (default 20,000 per second),
//   2. one-to-one messages as fast as the server takes them (bounded number in flight),
//   3. "L2A" messages, each delivered to every Level 2 user.
// Each message body carries its send time; the receiving client computes the delivery latency.
// Every phase is bounded in message count and in time, and the run stops by itself.
//
// With --db postgresql://... --nodes 2 the clients are split between two server nodes on that
// database (every other client on each): about half the one-to-one messages cross nodes, and the
// latency is reported for those and for the rest apart. The database must be empty (run it with
// scripts/with-postgres.sh, which passes one in WISPLINE_PG_URL).
//
// With --attack 1, during every phase the first user (Level 2) downloads the day's messages in a
// loop, on a day of --day-rows messages of its own, the second floods messages to as many
// made-up recipients as a message may name, and the third, logged on like anyone, floods 1,000
// offline users (accounts of their own) with messages of 1,000 characters, one in ten of them
// 50 KB, as fast as the server takes them; the latency is that of everyone else's messages, and
// the growth of the database and the server's memory are reported. The server runs at its
// shipped budgets then; otherwise they are lifted, since each of these clients sends far more
// than a person could.
//
// With --failover, two nodes behind a balancer lose one node, then stop the other, under traffic
// (see server_failover.cpp). With --relogon N, N users log on, and again after a restart, at the
// shipped password cost and limits (see server_relogon.cpp). With --storm N, N users under
// traffic follow the client's reset rules through a server restart (see server_storm.cpp).
//
// With --mqtt 1 the same load goes to a local MQTT broker (mosquitto, QoS 0, persistence off)
// instead, for comparison: each client subscribes to its own topic (and Level 2 users to one
// shared topic, the counterpart of "L2A") and publishes to the recipient's.
//
// With --tls 1 every client speaks TLS (to the server, or to the broker's TLS listener), with a
// P-256 certificate made by the openssl command. With --handshakes N (and --tls 1) the run only
// opens N new TLS connections, --resume 1 resuming the first one's session, and reports the
// rate and the server's CPU per handshake.
//
// With --idle-memory N the run measures what an idle logged-on connection costs the server:
// 100 clients log on at once, then N - 100 more, --group G at a time (each group connects, logs
// on and is answered before the next connects; 0, the default, all at once), and the figure is
// (VmRSS then - VmRSS with 100) / (N - 100), each read once the size has settled.
// bench/idle_memory.sh runs it at once and ten at a time, in turn.
#include "bench_common.h"
#include "store/ServerStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <openssl/ssl.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

// Password hashes take few rounds here: at the real count, logging 500 clients on would measure
// the key derivation rather than the routing.
constexpr int kKdfIterations = 1000;

struct Options {
    int clients = 500;
    int level2 = 100;       // the first this many users are Level 2
    long direct = 200000;   // phase 1 messages
    double rate = 20000;    // phase 1 messages per second
    long burst = 200000;    // phase 2 messages
    int window = 2000;      // phase 2 messages in flight at most
    long broadcasts = 1000; // phase 3 "L2A" messages
    double broadcastRate = 200;
    int phaseSeconds = 60; // each phase gives up after this long
    bool mqtt = false;
    QString database; // empty: a throw-away SQLite file
    int nodes = 1;
    bool attack = false;
    long dayRows = 0; // today's messages of the first user, stored before the start
    bool tls = false;
    long handshakes = 0; // only new TLS connections, this many
    bool resume = false;
    int idleClients = 0; // only log on this many and report the memory each costs
    int group = 0;       // of those past the first 100, this many at a time (0: all at once)
};

SSL_CTX* clientContext()
{
    static SSL_CTX* ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_mode(c, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr); // loopback, a certificate of its own
        return c;
    }();
    return ctx;
}

std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Conn {
    int fd = -1;
    std::string name;
    int level = 1;
    int node = 0;
    std::string in;
    std::string out;
    bool wantWrite = false;
    bool loggedOn = false;
    bool connAcked = false; // MQTT
    int handshakes = 0;
    SSL* ssl = nullptr;
};

// A connected socket made ready for the load loop: its TLS handshake (blocking, before the
// descriptor is made not to be) when asked for, then non-blocking and watched for input as
// connection number index.
bool attach(Conn& c, bool tls, int epoll, std::uint32_t index)
{
    if (tls) {
        c.ssl = SSL_new(clientContext());
        SSL_set_fd(c.ssl, c.fd);
        if (SSL_connect(c.ssl) != 1) {
            std::fprintf(stderr, "TLS handshake failed\n");
            return false;
        }
    }
    ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = index;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, c.fd, &ev) == 0;
}

// Like send() and recv(), over TLS when the connection has it.
ssize_t put(Conn& c, const char* data, std::size_t size)
{
    if (!c.ssl)
        return ::send(c.fd, data, size, MSG_NOSIGNAL);
    const int n = SSL_write(c.ssl, data, int(std::min<std::size_t>(size, 16384)));
    return n > 0 ? n : -1;
}

ssize_t get(Conn& c, char* data, std::size_t size)
{
    if (!c.ssl)
        return ::recv(c.fd, data, size, 0);
    const int n = SSL_read(c.ssl, data, int(size));
    return n > 0 ? n : -1;
}

// A small file of /proc/<pid>/ as text (empty when the process is gone).
std::string procText(qint64 pid, const char* name)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/%s", static_cast<long long>(pid), name);
    std::string text;
    if (FILE* f = std::fopen(path, "r")) {
        char buf[4096];
        text.assign(buf, std::fread(buf, 1, sizeof buf, f));
        std::fclose(f);
    }
    return text;
}

// The resident memory of a process in MB, now (VmRSS) or at its peak (VmHWM).
double residentMb(qint64 pid, const char* field = "VmRSS:")
{
    const std::string status = procText(pid, "status");
    const std::size_t at = status.find(field);
    double kb = 0;
    if (at != std::string::npos)
        std::sscanf(status.c_str() + at + std::strlen(field), " %lf kB", &kb);
    return kb / 1024;
}

// MQTT 3.1.1 packets, as far as QoS 0 needs them.
std::string mqttPacket(unsigned char type, const std::string& body)
{
    std::string p(1, char(type));
    std::size_t n = body.size();
    do {
        unsigned char byte = n % 128;
        n /= 128;
        if (n > 0)
            byte |= 0x80;
        p += char(byte);
    } while (n > 0);
    return p + body;
}

std::string mqttString(const std::string& s)
{
    std::string out;
    out += char(s.size() >> 8);
    out += char(s.size() & 0xff);
    return out + s;
}

// CPU seconds (user + system) the process has used so far.
double cpuSeconds(qint64 pid)
{
    const std::string stat = procText(pid, "stat");
    // Fields after the command name, which is in parentheses and may hold spaces.
    const std::size_t p = stat.rfind(')');
    if (p == std::string::npos)
        return 0;
    unsigned long utime = 0;
    unsigned long stime = 0;
    if (std::sscanf(stat.c_str() + p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                    &utime, &stime) != 2)
        return 0;
    return double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
}

// CPU seconds (user + system) each named thread of the process has used so far; threads of
// one name are summed.
std::map<std::string, double> threadCpuSeconds(qint64 pid)
{
    std::map<std::string, double> out;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/task", static_cast<long long>(pid));
    DIR* dir = ::opendir(path);
    if (!dir)
        return out;
    while (const dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string task = std::string("task/") + e->d_name;
        std::string name = procText(pid, (task + "/comm").c_str());
        while (!name.empty() && name.back() == '\n')
            name.pop_back();
        const std::string stat = procText(pid, (task + "/stat").c_str());
        const std::size_t p = stat.rfind(')');
        unsigned long utime = 0;
        unsigned long stime = 0;
        if (p != std::string::npos &&
            std::sscanf(stat.c_str() + p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu",
                        &utime, &stime) == 2)
            out[name] += double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
    }
    ::closedir(dir);
    return out;
}

class Load
{
public:
    Load(const Options& o, qint64 serverPid) : o_(o), serverPid_(serverPid) {}

    bool connectAll(const std::vector<quint16>& ports);
    bool logOnAll();
    bool handshakeAll();
    double serverMb() const { return residentMb(serverPid_); }
    double serverPeakMb() const { return residentMb(serverPid_, "VmHWM:"); }
    void runPhase(const char* title, long count, double rate, int window, bool broadcast);

private:
    void send(Conn& c, const std::string& message);
    void flushOut(Conn& c);
    void poll(int timeoutMs);
    void readFrom(Conn& c);
    void handle(Conn& c, const char* msg, std::size_t len);
    void handleMqtt(Conn& c, unsigned char type, const char* body, std::size_t len);
    void delivered(const char* sendTime); // the digits after "T"
    void askForDayMessages()
    {
        send(conns_[0], "ALLMsgs~" + conns_[0].name + "2~pw" + conns_[0].name + "~1.1.1");
    }
    void flood();        // the second user's made-up recipients, while its last one is taken
    void floodOffline(); // the third user's offline recipients, likewise
    bool waitUntil(const std::function<bool()>& done, int seconds);

    Options o_;
    qint64 serverPid_;
    int epoll_ = -1;
    std::vector<Conn> conns_;
    std::vector<std::int64_t> latencies_;
    std::vector<std::int64_t> crossLatencies_; // of those, between two nodes
    std::vector<std::int64_t> sameLatencies_;
    long delivered_ = 0;
    std::int64_t lastDelivery_ = 0;
    std::int64_t longestGap_ = 0; // between two deliveries, within a phase
    bool downloading_ = false;
    long downloads_ = 0;
    long floods_ = 0;
    std::string flood_;
    long offlineFloods_ = 0;
    long offlineBig_ = 0; // of those, 50 KB
    std::string offlineNames_;

public:
    QString database; // the SQLite file, whose growth is reported under attack
};

void Load::flood()
{
    Conn& c = conns_[1];
    if (!c.out.empty())
        return;
    if (flood_.empty()) {
        flood_ = "SND~" + c.name + "2~flood~";
        for (int i = 0; i < 1000; ++i)
            flood_ += (i ? ",F" : "F") + std::to_string(1000000 + i) + '1';
        flood_ += "~NOONE";
    }
    send(c, flood_);
    ++floods_;
}

// Offline users for the logged-on flooder: W0000 to W0999, Level 1.
constexpr int kOfflineUsers = 1000;

void Load::floodOffline()
{
    Conn& c = conns_[2];
    if (!c.out.empty())
        return;
    if (offlineNames_.empty()) {
        char name[16];
        for (int i = 0; i < kOfflineUsers; ++i) {
            std::snprintf(name, sizeof name, "%sW%04d1", i ? "," : "", i);
            offlineNames_ += name;
        }
    }
    const bool big = offlineFloods_ % 10 == 9;
    std::string message = "SND~" + c.name + "2~";
    message += std::string(big ? 50 * 1024 : 1000, 'w');
    message += '~' + offlineNames_ + "~NOONE";
    send(c, message);
    ++offlineFloods_;
    offlineBig_ += big ? 1 : 0;
}

bool Load::connectAll(const std::vector<quint16>& ports)
{
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    conns_.resize(std::size_t(o_.clients));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < o_.clients; ++i) {
        Conn& c = conns_[std::size_t(i)];
        c.node = i % int(ports.size());
        addr.sin_port = htons(ports[std::size_t(c.node)]);
        char name[16];
        std::snprintf(name, sizeof name, "U%04d", i);
        c.name = name;
        c.level = i < o_.level2 ? 2 : 1;
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c.fd < 0 || ::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            std::perror("connect");
            return false;
        }
        int one = 1;
        ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (!attach(c, o_.tls, epoll_, std::uint32_t(i)))
            return false;
    }
    return true;
}

void Load::send(Conn& c, const std::string& message)
{
    // One write per message, as the client does; a full socket buffer keeps the rest for later.
    if (c.out.empty()) {
        const ssize_t n = put(c, message.data(), message.size());
        if (n == ssize_t(message.size()))
            return;
        c.out.assign(message, n > 0 ? std::size_t(n) : 0, std::string::npos);
    } else {
        c.out += message;
    }
    flushOut(c);
}

void Load::flushOut(Conn& c)
{
    while (!c.out.empty()) {
        const ssize_t n = put(c, c.out.data(), c.out.size());
        if (n <= 0)
            break;
        c.out.erase(0, std::size_t(n));
    }
    const bool want = !c.out.empty();
    if (want != c.wantWrite) {
        c.wantWrite = want;
        epoll_event ev{};
        ev.events = want ? std::uint32_t(EPOLLIN | EPOLLOUT) : std::uint32_t(EPOLLIN);
        ev.data.u32 = std::uint32_t(&c - conns_.data());
        ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    }
}

void Load::poll(int timeoutMs)
{
    epoll_event events[256];
    const int n = ::epoll_wait(epoll_, events, 256, timeoutMs);
    for (int i = 0; i < n; ++i) {
        Conn& c = conns_[events[i].data.u32];
        if (events[i].events & EPOLLOUT)
            flushOut(c);
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            readFrom(c);
    }
}

void Load::readFrom(Conn& c)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = get(c, buf, sizeof buf);
        if (n <= 0)
            break;
        c.in.append(buf, std::size_t(n));
    }
    std::size_t start = 0;
    if (o_.mqtt) {
        for (;;) {
            // Fixed header: type, then the remaining length in up to four 7-bit groups.
            std::size_t length = 0;
            std::size_t at = start + 1;
            int shift = 0;
            bool complete = false;
            while (at < c.in.size() && shift <= 21) {
                const unsigned char byte = static_cast<unsigned char>(c.in[at++]);
                length |= std::size_t(byte & 0x7f) << shift;
                shift += 7;
                if (!(byte & 0x80)) {
                    complete = true;
                    break;
                }
            }
            if (!complete || c.in.size() - at < length)
                break;
            handleMqtt(c, static_cast<unsigned char>(c.in[start]) >> 4, c.in.data() + at, length);
            start = at + length;
        }
        c.in.erase(0, start);
        return;
    }
    for (;;) {
        const std::size_t end = c.in.find('`', start);
        if (end == std::string::npos)
            break;
        handle(c, c.in.data() + start, end - start);
        start = end + 1;
    }
    c.in.erase(0, start);
}

void Load::delivered(const char* sendTime)
{
    char* end = nullptr;
    const std::int64_t sent = std::strtoll(sendTime, &end, 10);
    const std::int64_t now = nowNs();
    latencies_.push_back(now - sent);
    // "T<ns> x" between two nodes, "T<ns> s" on one.
    if (end && end[0] == ' ' && (end[1] == 'x' || end[1] == 's'))
        (end[1] == 'x' ? crossLatencies_ : sameLatencies_).push_back(now - sent);
    if (delivered_ > 0)
        longestGap_ = std::max(longestGap_, now - lastDelivery_);
    ++delivered_;
    lastDelivery_ = now;
}

void Load::handleMqtt(Conn& c, unsigned char type, const char* body, std::size_t len)
{
    switch (type) {
    case 2: // CONNACK
        c.connAcked = true;
        break;
    case 9: // SUBACK: subscribed, which counts as logged on
        c.loggedOn = true;
        break;
    case 13: // PINGRESP
        ++c.handshakes;
        break;
    case 3: // PUBLISH at QoS 0: topic, then the payload
        if (len >= 2) {
            const std::size_t topic = 2 + ((std::size_t(static_cast<unsigned char>(body[0])) << 8) |
                                           static_cast<unsigned char>(body[1]));
            if (topic < len && body[topic] == 'T')
                delivered(body + topic + 1);
        }
        break;
    default:
        break;
    }
}

void Load::handle(Conn& c, const char* msg, std::size_t len)
{
    if (len >= 4 && std::memcmp(msg, "SND~", 4) == 0) {
        // "SENDER <- T<ns> ... [HH:mm:ss]"
        const char* mark = static_cast<const char*>(memmem(msg, len, "<- T", 4));
        if (mark)
            delivered(mark + 4);
    } else if (len >= 4 && std::memcmp(msg, "LIU~", 4) == 0) {
        c.loggedOn = true;
    } else if (len >= 4 && std::memcmp(msg, "HND~", 4) == 0) {
        ++c.handshakes;
    } else if (len >= 8 && std::memcmp(msg, "ALLM~END", 8) == 0 && o_.attack) {
        ++downloads_;
        askForDayMessages();
    } else if (len >= 8 && std::memcmp(msg, "Invalid~", 8) == 0) {
        std::fprintf(stderr, "log-on refused for %s\n", c.name.c_str());
    }
}

bool Load::waitUntil(const std::function<bool()>& done, int seconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        poll(50);
    }
    return true;
}

bool Load::logOnAll()
{
    if (o_.mqtt) {
        for (Conn& c : conns_) {
            send(c, mqttPacket(0x10, mqttString("MQTT") + std::string("\x04\x02\x00\x00", 4) +
                                         mqttString(c.name)));
            poll(0);
        }
        if (!waitUntil(
                [&] {
                    return std::all_of(conns_.begin(), conns_.end(),
                                       [](const Conn& c) { return c.connAcked; });
                },
                o_.phaseSeconds))
            return false;
        for (Conn& c : conns_) {
            std::string topics = mqttString("u/" + c.name) + '\0';
            if (c.level == 2)
                topics += mqttString("L2A") + '\0';
            send(c, mqttPacket(0x82, std::string("\x00\x01", 2) + topics));
        }
    } else {
        for (Conn& c : conns_) {
            send(c, "LIU~" + c.name + "~pw" + c.name + "~1.1.1~00-00-00-00-00-00");
            poll(0);
        }
    }
    return waitUntil(
        [&] {
            return std::all_of(conns_.begin(), conns_.end(),
                               [](const Conn& c) { return c.loggedOn; });
        },
        o_.phaseSeconds);
}

bool Load::handshakeAll()
{
    const int target = conns_.empty() ? 0 : conns_.back().handshakes + 1;
    for (Conn& c : conns_)
        send(c, o_.mqtt ? std::string("\xc0\x00", 2)
                        : "HND~" + c.name + std::to_string(c.level) + "~1");
    // The attackers' answers wait behind what they sent: they are not waited for.
    const auto from = conns_.begin() + (o_.attack ? 3 : 0);
    return waitUntil(
        [&] {
            return std::all_of(from, conns_.end(),
                               [&](const Conn& c) { return c.handshakes >= target; });
        },
        o_.phaseSeconds);
}

void Load::runPhase(const char* title, long count, double rate, int window, bool broadcast)
{
    if (count <= 0)
        return;
    latencies_.clear();
    crossLatencies_.clear();
    sameLatencies_.clear();
    latencies_.reserve(std::size_t(count) * (broadcast ? std::size_t(o_.level2) : 1));
    delivered_ = 0;
    longestGap_ = 0;
    const int levelTwo = std::max(1, std::min(o_.level2, o_.clients));
    const long expected = broadcast ? count * levelTwo : count;
    std::mt19937 random(12345);
    // Under attack the first three users are the attackers, and the others' messages are timed.
    std::uniform_int_distribution<int> pick(o_.attack ? 3 : 0, o_.clients - 1);
    if (o_.attack && !downloading_)
        askForDayMessages();
    downloading_ = o_.attack;
    downloads_ = 0;
    floods_ = 0;
    offlineFloods_ = 0;
    offlineBig_ = 0;
    const auto fileMb = [](const QString& file) {
        return double(QFileInfo(file).size()) / (1024 * 1024);
    };
    const QString wal = database + QStringLiteral("-wal");
    const double databaseBefore = database.isEmpty() ? 0 : fileMb(database);
    const double walBefore = database.isEmpty() ? 0 : fileMb(wal);
    std::uniform_int_distribution<int> pickLevel1(levelTwo, std::max(levelTwo, o_.clients - 1));

    const double cpuBefore = cpuSeconds(serverPid_);
    const std::map<std::string, double> threadsBefore = threadCpuSeconds(serverPid_);
    const std::int64_t start = nowNs();
    const std::int64_t deadline = start + std::int64_t(o_.phaseSeconds) * 1000000000LL;
    long sent = 0;
    std::string message;
    while (delivered_ < expected && nowNs() < deadline) {
        long due = count;
        if (rate > 0)
            due = std::min(count, long(double(nowNs() - start) * rate / 1e9) + 1);
        if (window > 0)
            due = std::min(due, delivered_ + window);
        while (sent < due) {
            int from;
            int to = 0;
            if (broadcast) {
                from = pickLevel1(random);
            } else {
                from = pick(random);
                do
                    to = pick(random);
                while (to == from);
            }
            Conn& c = conns_[std::size_t(from)];
            if (o_.mqtt) {
                const std::string payload =
                    "T" + std::to_string(nowNs()) + " load message number " + std::to_string(sent);
                const std::string topic =
                    broadcast ? std::string("L2A") : "u/" + conns_[std::size_t(to)].name;
                send(c, mqttPacket(0x30, mqttString(topic) + payload));
                ++sent;
                continue;
            }
            message.assign("SND~");
            message += c.name;
            message += std::to_string(c.level);
            message += "~T";
            message += std::to_string(nowNs());
            if (!broadcast)
                message += conns_[std::size_t(to)].node != c.node ? " x" : " s";
            message += " load message number ";
            message += std::to_string(sent);
            if (broadcast) {
                message += "~NOONE~L2A";
            } else {
                const Conn& r = conns_[std::size_t(to)];
                message += '~';
                message += r.name;
                message += std::to_string(r.level);
                message += "~NOONE";
            }
            send(c, message);
            ++sent;
        }
        if (o_.attack) {
            flood();
            floodOffline();
        }
        poll(sent < count ? 0 : 5);
        if (rate > 0 && sent < count && sent >= due)
            poll(1);
    }
    const double cpu = cpuSeconds(serverPid_) - cpuBefore;
    const std::int64_t end = lastDelivery_ > start ? lastDelivery_ : nowNs();
    const double seconds = double(end - start) / 1e9;
    std::sort(latencies_.begin(), latencies_.end());
    std::sort(crossLatencies_.begin(), crossLatencies_.end());
    std::sort(sameLatencies_.begin(), sameLatencies_.end());
    auto percentileOf = [](const std::vector<std::int64_t>& sorted, double p) {
        if (sorted.empty())
            return 0.0;
        const std::size_t i = std::min(sorted.size() - 1, std::size_t(p * double(sorted.size())));
        return double(sorted[i]) / 1e6;
    };
    auto percentile = [&](double p) { return percentileOf(latencies_, p); };
    std::printf("%s\n", title);
    std::printf("  sent %ld, delivered %ld of %ld in %.2f s%s\n", sent, delivered_, expected,
                seconds, delivered_ < expected ? "  (TIMED OUT)" : "");
    std::printf("  routed %.0f deliveries/s (%.0f sends/s)\n", double(delivered_) / seconds,
                double(sent) / seconds);
    std::printf("  latency ms: p50 %.2f  p90 %.2f  p99 %.2f  max %.2f\n", percentile(0.50),
                percentile(0.90), percentile(0.99), percentile(1.0));
    if (o_.nodes > 1 && !broadcast) {
        std::printf("  same node:  %zu delivered, p50 %.2f  p99 %.2f ms\n", sameLatencies_.size(),
                    percentileOf(sameLatencies_, 0.50), percentileOf(sameLatencies_, 0.99));
        std::printf("  cross-node: %zu delivered, p50 %.2f  p99 %.2f ms\n", crossLatencies_.size(),
                    percentileOf(crossLatencies_, 0.50), percentileOf(crossLatencies_, 0.99));
    }
    std::printf("  largest gap between deliveries %.2f ms\n", double(longestGap_) / 1e6);
    std::printf("  server CPU %.2f s, %.1f us per delivery\n", cpu,
                delivered_ ? cpu * 1e6 / double(delivered_) : 0.0);
    if (delivered_) {
        // Where it went, per delivery: the routing thread, the storage thread, the rest.
        std::printf("  by thread, us per delivery:");
        for (const auto& [name, seconds] : threadCpuSeconds(serverPid_)) {
            const auto before = threadsBefore.find(name);
            const double used = seconds - (before == threadsBefore.end() ? 0.0 : before->second);
            if (used > 0)
                std::printf(" %s %.1f", name.c_str(), used * 1e6 / double(delivered_));
        }
        std::printf("\n");
    }
    if (o_.attack) {
        std::printf("  meanwhile %ld day downloads ended and %ld messages to 1,000 made-up "
                    "recipients were sent; server memory %.1f MB\n",
                    downloads_, floods_, serverMb());
        // The write-ahead log is cut back to its limit at the checkpoints.
        std::printf("  and %ld messages to 1,000 offline users were sent (%ld of them 50 KB); "
                    "the database file grew %.1f MB (its write-ahead log %.1f MB); server memory "
                    "at most %.1f MB\n",
                    offlineFloods_, offlineBig_,
                    database.isEmpty() ? 0.0 : fileMb(database) - databaseBefore,
                    database.isEmpty() ? 0.0 : fileMb(wal) - walBefore, serverPeakMb());
    }
    std::fflush(stdout);
}

} // namespace

// A loopback port nobody listens on now, for the broker and the failover's nodes.
quint16 freePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    quint16 port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0)
        port = ntohs(addr.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

namespace
{

bool waitForListener(quint16 port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 100; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (up)
            return true;
        ::usleep(50000);
    }
    return false;
}

// The logged-on flooder's offline recipients, in one transaction (they never log on: the first
// user's password hash serves).
bool addOfflineUsers(const wispline::server::ServerStore& store)
{
    const QString connection = QStringLiteral("bench-offline");
    bool ok = false;
    {
        QSqlDatabase db = store.addConnection(connection);
        QSqlQuery insert(db);
        ok = db.open() && db.transaction() &&
             insert.prepare(QStringLiteral("INSERT INTO accounts(name, level, supervisor, salt, "
                                           "hash, iterations) SELECT ?, 1, '', salt, hash, "
                                           "iterations FROM accounts WHERE name = 'U0000'"));
        for (int i = 0; ok && i < kOfflineUsers; ++i) {
            insert.bindValue(0, QStringLiteral("W%1").arg(i, 4, 10, QLatin1Char('0')));
            ok = insert.exec();
        }
        ok = ok && db.commit();
        if (!ok)
            std::fprintf(stderr, "could not add the offline users: %s\n",
                         qPrintable(insert.lastError().text() + db.lastError().text()));
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}

// Today's messages between the first user and the others, as the server would have stored them.
bool fillDay(const wispline::server::ServerStore& store, long rows)
{
    const QString connection = QStringLiteral("bench-fill");
    bool ok = false;
    {
        QSqlDatabase db = store.addConnection(connection);
        QSqlQuery insert(db);
        const QString day = QDate::currentDate().toString(Qt::ISODate);
        ok = db.open() && db.transaction() &&
             insert.prepare(QStringLiteral("INSERT INTO messages(day, time, sender, recipient, "
                                           "body) VALUES(?, '12:00:00', ?, ?, ?)"));
        for (long i = 0; ok && i < rows; ++i) {
            const QString other = QStringLiteral("U%1").arg(2 + i % 100, 4, 10, QLatin1Char('0'));
            insert.bindValue(0, day);
            insert.bindValue(1, i % 2 ? QStringLiteral("U0000") : other);
            insert.bindValue(2, i % 2 ? other : QStringLiteral("U0000"));
            insert.bindValue(3, QStringLiteral("an earlier message of the day, number %1").arg(i));
            ok = insert.exec();
        }
        ok = ok && db.commit();
        if (!ok)
            std::fprintf(stderr, "could not fill the day: %s\n",
                         qPrintable(insert.lastError().text() + db.lastError().text()));
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}

void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

bool readOptions(const QStringList& args, Options* o)
{
    for (int i = 1; i + 1 < args.size(); i += 2) {
        const QString& key = args[i];
        const double v = args[i + 1].toDouble();
        if (key == QLatin1String("--clients"))
            o->clients = int(v);
        else if (key == QLatin1String("--level2"))
            o->level2 = int(v);
        else if (key == QLatin1String("--direct"))
            o->direct = long(v);
        else if (key == QLatin1String("--rate"))
            o->rate = v;
        else if (key == QLatin1String("--burst"))
            o->burst = long(v);
        else if (key == QLatin1String("--window"))
            o->window = int(v);
        else if (key == QLatin1String("--broadcasts"))
            o->broadcasts = long(v);
        else if (key == QLatin1String("--broadcast-rate"))
            o->broadcastRate = v;
        else if (key == QLatin1String("--phase-seconds"))
            o->phaseSeconds = int(v);
        else if (key == QLatin1String("--mqtt"))
            o->mqtt = v != 0;
        else if (key == QLatin1String("--db"))
            o->database = args[i + 1];
        else if (key == QLatin1String("--nodes"))
            o->nodes = int(v);
        else if (key == QLatin1String("--attack"))
            o->attack = v != 0;
        else if (key == QLatin1String("--day-rows"))
            o->dayRows = long(v);
        else if (key == QLatin1String("--tls"))
            o->tls = v != 0;
        else if (key == QLatin1String("--handshakes"))
            o->handshakes = long(v);
        else if (key == QLatin1String("--resume"))
            o->resume = v != 0;
        else if (key == QLatin1String("--idle-memory"))
            o->idleClients = int(v);
        else if (key == QLatin1String("--group"))
            o->group = int(v);
        else
            return false;
    }
    if (o->idleClients > 0)
        o->clients = o->idleClients; // an account each
    return (args.size() % 2) == 1 && o->nodes >= 1 && o->nodes <= 8 &&
           (o->nodes == 1 || o->database.startsWith(QLatin1String("postgresql://"))) &&
           o->clients >= 2 && o->level2 >= 1 && o->level2 < o->clients &&
           (!o->attack || (o->level2 >= 3 && o->clients >= 5 && !o->mqtt)) &&
           (o->handshakes == 0 || o->tls) &&
           (o->idleClients == 0 ||
            (o->idleClients > 100 && o->group >= 0 && !o->mqtt && o->nodes == 1));
}

// New TLS connections, four at a time, each ended once its handshake is done; with resume, each
// offers the session of the first.
bool handshakeRate(const Options& o, quint16 port, qint64 serverPid)
{
    SSL_CTX* ctx = clientContext();
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::atomic<long> next{0};
    std::atomic<long> resumed{0};
    std::atomic<bool> failed{false};
    // slot: the session to offer, replaced by the newest ticket (as a client keeps it).
    const auto one = [&](SSL_SESSION** slot) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
            failed = true;
            if (fd >= 0)
                ::close(fd);
            return;
        }
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        if (slot && *slot)
            SSL_set_session(ssl, *slot);
        if (SSL_connect(ssl) != 1)
            failed = true;
        else if (SSL_session_reused(ssl))
            ++resumed;
        if (slot && !failed) {
            // The server's tickets come after the handshake: read until one is in.
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            char byte;
            SSL_SESSION* fresh = nullptr;
            for (int i = 0; i < 50 && !fresh; ++i) {
                pollfd p{fd, POLLIN, 0};
                ::poll(&p, 1, 20);
                SSL_read(ssl, &byte, 1);
                SSL_SESSION* session = SSL_get1_session(ssl);
                if (session && session != *slot && SSL_SESSION_is_resumable(session))
                    fresh = session;
                else
                    SSL_SESSION_free(session);
            }
            if (fresh) {
                SSL_SESSION_free(*slot);
                *slot = fresh;
            }
        }
        SSL_shutdown(ssl); // a session ended without its close_notify is not resumed
        SSL_free(ssl);
        ::close(fd);
    };
    const double cpu0 = cpuSeconds(serverPid);
    const auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            SSL_SESSION* mine = nullptr;
            if (o.resume)
                one(&mine); // the first is full, and not counted
            while (!failed && next++ < o.handshakes)
                one(o.resume ? &mine : nullptr);
            SSL_SESSION_free(mine);
        });
    for (std::thread& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds(serverPid) - cpu0;
    std::printf("%s: %ld new TLS connections (%s, %ld resumed) in %.2f s: %.0f per second; "
                "server CPU %.3f ms each (%.0f per second of one core)\n",
                o.mqtt ? "broker" : "wispline-server", o.handshakes,
                o.resume ? "resuming" : "full handshakes", resumed.load(), seconds,
                double(o.handshakes) / seconds, cpu * 1e3 / double(o.handshakes),
                cpu > 0 ? double(o.handshakes) / cpu : 0.0);
    std::fflush(stdout);
    return !failed;
}

// Idle clients logged on a group at a time, read all along (each newcomer is told to the others),
// and the server's resident size once it has settled.
class IdleCrowd
{
public:
    IdleCrowd(const Options& o, quint16 port, qint64 serverPid)
        : o_(o), port_(port), serverPid_(serverPid), epoll_(::epoll_create1(EPOLL_CLOEXEC))
    {
        conns_.reserve(std::size_t(o.idleClients)); // indices stay valid in the epoll set
    }
    ~IdleCrowd()
    {
        for (Conn& c : conns_) {
            SSL_free(c.ssl);
            ::close(c.fd);
        }
        ::close(epoll_);
    }

    // Connects count more clients and logs them on, group at a time (0: all at once).
    bool logOn(int count, int group)
    {
        if (group <= 0)
            group = count;
        for (int done = 0; done < count; done += group) {
            const std::size_t first = conns_.size();
            const int now = std::min(group, count - done);
            for (int i = 0; i < now; ++i)
                if (!connectOne())
                    return false;
            for (std::size_t i = first; i < conns_.size(); ++i) {
                Conn& c = conns_[i];
                const std::string logOn =
                    "LIU~" + c.name + "~pw" + c.name + "~1.1.1~00-00-00-00-00-00";
                if (put(c, logOn.data(), logOn.size()) != ssize_t(logOn.size()))
                    return false;
                poll(0);
            }
            const auto deadline = Clock::now() + std::chrono::seconds(o_.phaseSeconds);
            while (loggedOn_ < conns_.size()) {
                if (failed_ || Clock::now() > deadline)
                    return false;
                poll(50);
            }
        }
        return true;
    }

    // VmRSS in kB, read once the last log-on is four seconds past (a storm's checks are kept
    // three seconds for joiners, and freed then) and the size has stayed within 8 KB for three
    // seconds; the clients are read meanwhile.
    double settledKb()
    {
        const auto waitFor = [this](std::chrono::milliseconds ms) {
            const auto until = Clock::now() + ms;
            while (Clock::now() < until)
                poll(int(std::max<std::int64_t>(
                    1, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now())
                           .count())));
        };
        waitFor(std::chrono::milliseconds(
            std::max<std::int64_t>(0, 4000 - (nowNs() - lastAnswer_) / 1000000)));
        std::vector<double> samples; // one every 250 ms
        for (int i = 0; i < 4 * 120; ++i) {
            samples.push_back(residentMb(serverPid_) * 1024);
            if (samples.size() > 12) {
                const auto last = samples.end() - 13;
                const auto [low, high] = std::minmax_element(last, samples.end());
                if (*high - *low <= 8)
                    return samples.back();
            }
            waitFor(std::chrono::milliseconds(250));
        }
        std::fprintf(stderr, "the server's memory did not settle\n");
        return samples.back();
    }

private:
    bool connectOne()
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port_);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::size_t index = conns_.size();
        conns_.emplace_back();
        Conn& c = conns_.back();
        char name[16];
        std::snprintf(name, sizeof name, "U%04d", int(index));
        c.name = name;
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (c.fd < 0 || ::connect(c.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            std::perror("connect");
            return false;
        }
        return attach(c, o_.tls, epoll_, std::uint32_t(index));
    }

    void poll(int timeoutMs)
    {
        epoll_event events[256];
        const int n = ::epoll_wait(epoll_, events, 256, timeoutMs);
        char buf[65536];
        for (int i = 0; i < n; ++i) {
            Conn& c = conns_[events[i].data.u32];
            ssize_t got;
            while ((got = get(c, buf, sizeof buf)) > 0)
                c.in.append(buf, std::size_t(got));
            if (got == 0 || (got < 0 && !c.ssl && errno != EAGAIN && errno != EWOULDBLOCK)) {
                std::fprintf(stderr, "%s: connection ended by the server\n", c.name.c_str());
                failed_ = true;
                ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
            }
            // Only the answer to the log-on matters; the rest (the lists of users) is dropped.
            std::size_t start = 0;
            for (std::size_t end; (end = c.in.find('`', start)) != std::string::npos;
                 start = end + 1) {
                if (!c.loggedOn && c.in.compare(start, 4, "LIU~") == 0) {
                    c.loggedOn = true;
                    ++loggedOn_;
                    lastAnswer_ = nowNs();
                } else if (c.in.compare(start, 8, "Invalid~") == 0) {
                    std::fprintf(stderr, "log-on refused for %s\n", c.name.c_str());
                    failed_ = true;
                }
            }
            c.in.erase(0, start);
        }
    }

    const Options& o_;
    quint16 port_;
    qint64 serverPid_;
    int epoll_;
    std::vector<Conn> conns_;
    std::size_t loggedOn_ = 0;
    std::int64_t lastAnswer_ = 0;
    bool failed_ = false;
};

// The README's figure per idle logged-on connection: from 100 clients to idleClients.
bool idleMemory(const Options& o, quint16 port, qint64 serverPid)
{
    constexpr int kFirst = 100;
    IdleCrowd crowd(o, port, serverPid);
    if (!crowd.logOn(kFirst, 0)) {
        std::fprintf(stderr, "could not log the first %d clients on\n", kFirst);
        return false;
    }
    const double before = crowd.settledKb();
    const double load = bench::loadAverage();
    const int more = o.idleClients - kFirst;
    if (!crowd.logOn(more, o.group)) {
        std::fprintf(stderr, "could not log the other %d clients on\n", more);
        return false;
    }
    const double after = crowd.settledKb();
    char how[32];
    if (o.group > 0 && o.group < more)
        std::snprintf(how, sizeof how, "%d at a time", o.group);
    else
        std::snprintf(how, sizeof how, "at once");
    std::printf("%s, %s: %.2f KB per idle logged-on connection (%d: %.1f MB, %d: %.1f MB; "
                "load average %.1f to %.1f)\n",
                o.tls ? "TLS" : "plain", how, (after - before) / more, kFirst, before / 1024,
                o.idleClients, after / 1024, load, bench::loadAverage());
    std::fflush(stdout);
    return true;
}

} // namespace

// bench/server_failover.cpp
int runFailover(const QStringList& args);
// bench/server_relogon.cpp
int runRelogon(const QStringList& args);
// bench/server_storm.cpp
int runStorm(const QStringList& args);
// bench/server_scale.cpp
int runScale(const QStringList& args);

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("--failover"))
        return runFailover(app.arguments().mid(2));
    if (app.arguments().value(1) == QLatin1String("--relogon"))
        return runRelogon(app.arguments().mid(1));
    if (app.arguments().value(1) == QLatin1String("--storm"))
        return runStorm(app.arguments().mid(1));
    if (app.arguments().value(1) == QLatin1String("--scale"))
        return runScale(app.arguments().mid(1));
    Options options;
    if (!readOptions(app.arguments(), &options)) {
        std::fprintf(stderr, "usage: bench_server_load [--clients N] [--level2 N] [--direct N] "
                             "[--rate PER_S] [--burst N] [--window N] [--broadcasts N] "
                             "[--broadcast-rate PER_S] [--phase-seconds S] [--mqtt 0|1] "
                             "[--db postgresql://... --nodes N] [--attack 0|1] [--day-rows N] "
                             "[--tls 0|1] [--handshakes N [--resume 0|1]] "
                             "[--idle-memory N [--group G]]\n");
        return 2;
    }
    raiseDescriptorLimit();
    ::signal(SIGPIPE, SIG_IGN);

    QTemporaryDir dir;
    const QString database =
        options.database.isEmpty() ? dir.filePath(QStringLiteral("load.db")) : options.database;
    QProcess server;
    quint16 port = 0;
    std::vector<std::unique_ptr<QProcess>> moreNodes;
    std::vector<quint16> ports;
    const QString certificate = dir.filePath(QStringLiteral("cert.pem"));
    const QString key = dir.filePath(QStringLiteral("key.pem"));
    if (options.tls &&
        QProcess::execute(QStringLiteral("openssl"),
                          {QStringLiteral("req"), QStringLiteral("-x509"),
                           QStringLiteral("-newkey"), QStringLiteral("ec"),
                           QStringLiteral("-pkeyopt"),
                           QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                           QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
                           QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-keyout"), key,
                           QStringLiteral("-out"), certificate}) != 0) {
        std::fprintf(stderr, "cannot make a certificate with openssl\n");
        return 1;
    }
    QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner);
    if (options.mqtt) {
        port = freePort();
        QFile config(dir.filePath(QStringLiteral("broker.conf")));
        if (port == 0 || !config.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot set the broker up\n");
            return 1;
        }
        config.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n"
                                    "persistence false\nlog_dest none\nmax_queued_messages 0\n"
                                    "set_tcp_nodelay true\n")
                         .arg(port)
                         .toUtf8());
        if (options.tls) {
            config.write(
                QStringLiteral("certfile %1\nkeyfile %2\n").arg(certificate, key).toUtf8());
            // Started as root, the broker would read its key as its own user, which cannot.
            if (::getuid() == 0)
                config.write("user root\n");
        }
        config.close();
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), config.fileName()});
        if (!server.waitForStarted(10000) || !waitForListener(port)) {
            std::fprintf(stderr, "the broker (mosquitto) did not start\n");
            return 1;
        }
    } else {
        {
            wispline::server::ServerStore store;
            store.setKdfIterations(kKdfIterations);
            QString error;
            if (!store.open(database, &error)) {
                std::fprintf(stderr, "database: %s\n", qPrintable(error));
                return 1;
            }
            for (int i = 0; i < options.clients; ++i) {
                const QString name = QStringLiteral("U%1").arg(i, 4, 10, QLatin1Char('0'));
                store.addUser(name, QStringLiteral("pw") + name, i < options.level2 ? 2 : 1);
            }
            if (options.attack && !addOfflineUsers(store))
                return 1;
            if (options.dayRows > 0 && !fillDay(store, options.dayRows))
                return 1;
        }

        // Starts one node; its port, or 0.
        const auto startNode = [&](QProcess& process, int number) -> quint16 {
            process.setStandardErrorFile(dir.filePath(QStringLiteral("server%1.log").arg(number)));
            QStringList arguments{
                QStringLiteral(WISPLINE_SERVER_PATH), QStringLiteral("--db"), database,
                QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--quiet"),
                QStringLiteral("--kdf-iterations"), QString::number(kKdfIterations),
                // Every client comes from this one address, at once.
                QStringLiteral("--max-anonymous"), QStringLiteral("1000000"),
                QStringLiteral("--max-anonymous-per-address"), QStringLiteral("1000000"),
                QStringLiteral("--max-checks"), QStringLiteral("1000000"),
                QStringLiteral("--max-checks-per-address"), QStringLiteral("1000000")};
            // Each client here sends more than a person could: the budgets of a connection are
            // lifted, but under attack, where they are what is measured.
            if (!options.attack)
                arguments << bench::liftedBudgets();
            // A profiler may wrap the server (BENCH_SERVER_WRAPPER=heaptrack, say); the memory
            // then reported is the wrapper's.
            if (options.tls)
                arguments << QStringLiteral("--tls-cert") << certificate
                          << QStringLiteral("--tls-key") << key;
            const QString wrapper = qEnvironmentVariable("BENCH_SERVER_WRAPPER");
            if (!wrapper.isEmpty())
                arguments.prepend(wrapper);
            process.start(arguments.takeFirst(), arguments);
            if (!process.waitForStarted(10000)) {
                std::fprintf(stderr, "the server did not start\n");
                return 0;
            }
            const quint16 found = bench::listeningPort(process, 10000);
            if (found == 0) {
                std::fprintf(stderr, "the server did not report its port\n");
                process.kill();
                process.waitForFinished();
            }
            return found;
        };
        port = startNode(server, 0);
        if (port == 0)
            return 1;
        ports.push_back(port);
        for (int n = 1; n < options.nodes; ++n) {
            moreNodes.push_back(std::make_unique<QProcess>());
            const quint16 more = startNode(*moreNodes.back(), n);
            if (more == 0)
                return 1;
            ports.push_back(more);
        }
    }
    if (ports.empty())
        ports.push_back(port);

    int rc = 0;
    if (options.handshakes > 0) {
        rc = handshakeRate(options, port, server.processId()) ? 0 : 1;
    } else if (options.idleClients > 0) {
        rc = idleMemory(options, port, server.processId()) ? 0 : 1;
    } else {
        Load load(options, server.processId());
        if (options.database.isEmpty())
            load.database = database;
        const auto t0 = Clock::now();
        if (!load.connectAll(ports) || !load.logOnAll() || !load.handshakeAll()) {
            std::fprintf(stderr, "could not log all clients on\n");
            rc = 1;
        } else {
            const double logon = std::chrono::duration<double>(Clock::now() - t0).count();
            std::printf("%s: %d clients logged on in %.2f s (%d at Level 2), server memory "
                        "%.1f MB\n",
                        options.mqtt ? "broker" : "wispline-server", options.clients, logon,
                        options.level2, load.serverMb());
            char title[160];
            std::snprintf(title, sizeof title, "one-to-one at %.0f messages/s", options.rate);
            load.runPhase(title, options.direct, options.rate, 0, false);
            load.handshakeAll();
            std::snprintf(title, sizeof title, "one-to-one, unpaced, %d in flight at most",
                          options.window);
            load.runPhase(title, options.burst, 0, options.window, false);
            load.handshakeAll();
            std::snprintf(title, sizeof title, "L2A at %.0f messages/s, %d recipients each",
                          options.broadcastRate, options.level2);
            load.runPhase(title, options.broadcasts, options.broadcastRate, 0, true);
        }
    }
    for (const auto& node : moreNodes) {
        ::kill(pid_t(node->processId()), SIGTERM);
        node->waitForFinished(30000);
    }
    ::kill(pid_t(server.processId()), SIGTERM);
    if (!server.waitForFinished(30000)) {
        server.kill();
        server.waitForFinished();
    }
    return rc;
}
