// Failover run of bench_server_load (--failover): two nodes on PostgreSQL behind a DNAT balancer
// in this process's network namespace, at the shipped password cost and limits, each client on a
// loopback address of its own and following the client's Internet-mode rules (while no level
// came, a new connection and LIU every second, and the program ends at the 16th such second of
// its life; once logged on, after a reset a first attempt 1-5 s later at random, then at 2, 4,
// 8 ... s, each shortened at random by up to half, an attempt giving up after 10 s and a log-on
// unanswered after 16 s; the program ends when the server closes the connection in order or
// sends OtLog, Invalid or Version), and one-to-one messages between users of both nodes, sent
// each second by a tenth of the users. Node A is killed (kill -9) and
// started again two seconds later, as a service manager does; later node B is stopped
// (SIGTERM) and started again, as at an upgrade. The balancer checks the nodes' ports every
// 500 ms, as keepalived would, and sends new connections to the nodes that answer.
//
// Reports the programs ended, how long the users of the lost node took to be logged on again,
// the messages lost (sent within a second of the kill, and the rest), those delivered twice and
// the latency outside the failover windows. Run it as root beside the throwaway cluster, which
// then runs in a network namespace of its own:
//   bash scripts/with-postgres.sh sh -c
//       'build/bench/bench_server_load --failover --db "$WISPLINE_PG_URL"'
// BENCH_NODES_LOG=FILE keeps the nodes' log; BENCH_DEBUG=1 lists the messages lost or slow.
#include "server_relogon.h"
#include "store/ServerStore.h"

#include <QCoreApplication>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QVariant>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <random>
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

// A loopback port nobody listens on now.
quint16 freePort();

namespace
{

using Clock = std::chrono::steady_clock;

std::int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

constexpr const char* kBalancer = "127.1.1.1";
constexpr quint16 kBalancerPort = 30609;

struct FailoverOptions {
    QString database;
    int clients = 1000;
    double rate = 2000; // messages a second
    int killAt = 10;    // seconds into the traffic
    int stopAt = 30;
    int runFor = 45;
    int drainFor = 30; // at most, after the traffic
};

struct Client {
    enum State { Idle, Connecting, Waiting, On, Ended };
    int fd = -1;
    std::string name;
    int level = 1;
    State state = Idle;
    std::string in;
    std::string out;
    int retries = 0; // seconds without a level, over the program's life
    std::int64_t nextTick = 0;
    // Once logged on, a lost link follows the reconnect schedule instead.
    bool everOn = false;
    int step = 0;
    std::int64_t attemptAt = 0;
    std::int64_t since = 0; // the connect, or the log-on's wait for its answer, began
    std::string endedBy;
};

struct Sent {
    std::int64_t at = 0; // us
    int deliveries = 0;
    int from = 0;
    int to = 0;
};

class Node
{
public:
    Node(QString database, quint16 port, QString log)
        : database_(std::move(database)), port_(port), log_(std::move(log))
    {
    }
    bool start()
    {
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(log_, QIODevice::Append);
        process_.start(
            QStringLiteral(WISPLINE_SERVER_PATH),
            {QStringLiteral("--db"), database_, QStringLiteral("--port"), QString::number(port_)});
        return process_.waitForStarted(10000);
    }
    void signal(int number) { ::kill(pid_t(process_.processId()), number); }
    bool waitForExit() { return process_.waitForFinished(60000); }
    bool running()
    {
        QCoreApplication::processEvents();
        return process_.state() != QProcess::NotRunning;
    }
    quint16 port() const { return port_; }
    // Answers on its port: what a balancer's health check asks.
    bool healthy() const
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port_);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return up;
    }

private:
    QString database_;
    quint16 port_;
    QString log_;
    QProcess process_;
};

class Failover
{
public:
    explicit Failover(const FailoverOptions& o) : o_(o) {}
    int run();

private:
    bool setBalancer(const std::vector<quint16>& ports);
    void checkHealth();
    void connect(Client& c);
    void closeSocket(Client& c);
    void end(Client& c, const char* why);
    void lose(Client& c, std::int64_t now);
    void watch(Client& c, bool writable);
    void onEvent(Client& c, std::uint32_t events);
    void readFrom(Client& c);
    void handle(Client& c, const char* msg, std::size_t len);
    bool send(Client& c, const std::string& text); // false: the connection was lost
    void tick(std::int64_t now);
    void sendDue(std::int64_t now);
    void pollOnce(int timeoutMs);
    std::set<std::string> usersOf(const QString& node);
    QStringList nodeIds();

    FailoverOptions o_;
    std::vector<Client> clients_;
    std::vector<Node*> nodes_;
    std::vector<quint16> balanced_;
    std::int64_t lastCheck_ = 0;
    int epoll_ = -1;
    std::vector<Sent> sent_;
    std::int64_t start_ = 0; // ms
    std::int64_t secondStarted_ = 0;
    std::vector<int> senders_;
    std::size_t nextSender_ = 0;
    std::int64_t planned_ = 0;
    std::mt19937 random_{4242};
    std::int64_t duplicates_ = 0;
    std::vector<std::int64_t> latencies_; // us, with the send time
    std::vector<std::int64_t> latencySentAt_;
    // Users lost with a node, until logged on again.
    std::set<std::string> waitingFor_;
    std::int64_t eventAt_ = 0;
    double lastRecovery_ = -1;
    // Reconnect attempts that failed, while connecting and while the log-on waited; the most
    // steps of the schedule one user went through.
    long failedAttempts_[2] = {};
    int mostSteps_ = 0;
};

bool Failover::setBalancer(const std::vector<quint16>& ports)
{
    if (ports == balanced_)
        return true;
    // One table replaced at once: no connection meets a half-made rule set.
    std::string rules = "*nat\n-F OUTPUT\n";
    for (std::size_t i = 0; i < ports.size(); ++i) {
        rules += "-A OUTPUT -p tcp -d " + std::string(kBalancer) + " --dport " +
                 std::to_string(kBalancerPort);
        if (i + 1 < ports.size())
            rules += " -m statistic --mode nth --every " + std::to_string(ports.size() - i) +
                     " --packet 0";
        rules += " -j DNAT --to-destination 127.0.0.1:" + std::to_string(ports[i]) + "\n";
    }
    rules += "COMMIT\n";
    QProcess restore;
    restore.start(QStringLiteral("iptables-restore"), {QStringLiteral("--noflush")});
    restore.write(rules.c_str());
    restore.closeWriteChannel();
    if (!restore.waitForFinished(10000) || restore.exitCode() != 0) {
        std::fprintf(stderr, "iptables-restore failed: %s\n",
                     restore.readAllStandardError().constData());
        return false;
    }
    balanced_ = ports;
    return true;
}

void Failover::checkHealth()
{
    const std::int64_t now = nowMs();
    if (now - lastCheck_ < 500)
        return;
    lastCheck_ = now;
    std::vector<quint16> up;
    for (Node* n : nodes_) {
        if (n->healthy())
            up.push_back(n->port());
    }
    if (!up.empty())
        setBalancer(up);
}

void Failover::watch(Client& c, bool writable)
{
    epoll_event ev{};
    ev.events = writable ? std::uint32_t(EPOLLIN | EPOLLOUT) : std::uint32_t(EPOLLIN);
    ev.data.u32 = std::uint32_t(&c - clients_.data());
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
}

void Failover::closeSocket(Client& c)
{
    if (c.fd >= 0)
        ::close(c.fd);
    c.fd = -1;
    c.in.clear();
    c.out.clear();
}

void Failover::connect(Client& c)
{
    closeSocket(c);
    c.since = nowMs();
    // Each user from an address of its own, as the server's limits per address expect.
    in_addr from{};
    from.s_addr = htonl((127u << 24) | (3u << 16) | std::uint32_t(&c - clients_.data() + 1));
    sockaddr_in balancer{};
    balancer.sin_family = AF_INET;
    balancer.sin_port = htons(kBalancerPort);
    ::inet_pton(AF_INET, kBalancer, &balancer.sin_addr);
    c.state = Client::Connecting;
    c.fd = relogon::connectFrom(from, balancer);
    if (c.fd < 0) {
        if (c.everOn) {
            lose(c, nowMs());
            return;
        }
        c.state = Client::Idle; // tried again at the next tick
        return;
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.u32 = std::uint32_t(&c - clients_.data());
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev);
}

void Failover::lose(Client& c, std::int64_t now)
{
    if (!c.everOn) {
        connect(c); // no level yet: at once, and its ticks go on
        return;
    }
    // The client's ServerLink::nextReconnectDelay.
    const int step = c.step++;
    if (c.state == Client::Connecting || c.state == Client::Waiting)
        ++failedAttempts_[c.state == Client::Waiting];
    mostSteps_ = std::max(mostSteps_, c.step);
    std::int64_t delay;
    if (step == 0) {
        delay = 1000 + std::uniform_int_distribution<int>(0, 4000)(random_);
    } else {
        std::int64_t nominal = 2000;
        for (int i = 1; i < step && nominal < 60000; ++i)
            nominal *= 2;
        nominal = std::min<std::int64_t>(nominal, 60000);
        delay = nominal - std::uniform_int_distribution<int>(0, int(nominal / 2))(random_);
    }
    closeSocket(c);
    c.state = Client::Idle;
    c.attemptAt = now + delay;
}

void Failover::end(Client& c, const char* why)
{
    waitingFor_.erase(c.name);
    closeSocket(c);
    c.state = Client::Ended;
    c.endedBy = why;
}

bool Failover::send(Client& c, const std::string& text)
{
    c.out += text;
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // The write meets the reset first (and takes its error): the connection is lost.
            // What was written is not sent.
            lose(c, nowMs());
            return false;
        }
        if (n <= 0)
            break;
        c.out.erase(0, std::size_t(n));
    }
    if (!c.out.empty())
        watch(c, true);
    return true;
}

void Failover::onEvent(Client& c, std::uint32_t events)
{
    if (c.state == Client::Connecting) {
        int error = 0;
        socklen_t size = sizeof error;
        ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size);
        if (error != 0) {
            closeSocket(c);
            // Refused or reset while connecting: without a level, after a reset the client
            // connects again at once, a refusal waits for the next tick.
            if (c.everOn || error == ECONNRESET)
                lose(c, nowMs());
            else
                c.state = Client::Idle;
            return;
        }
        if (!(events & EPOLLOUT))
            return;
        c.state = Client::Waiting;
        c.since = nowMs();
        watch(c, false);
        send(c, "LIU~" + c.name + "~pw" + c.name + "~1.1.1~00-00-00-00-00-00");
        return;
    }
    if ((events & EPOLLOUT) && !c.out.empty()) {
        send(c, std::string());
        if (c.out.empty())
            watch(c, false);
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
        readFrom(c);
}

void Failover::readFrom(Client& c)
{
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            c.in.append(buf, std::size_t(n));
            continue;
        }
        std::size_t start = 0;
        for (std::size_t end; (end = c.in.find('`', start)) != std::string::npos; start = end + 1) {
            handle(c, c.in.data() + start, end - start);
            if (c.state == Client::Ended || c.fd < 0)
                return;
        }
        c.in.erase(0, start);
        if (n == 0) {
            end(c, "the server closed the connection in order");
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            // A reset, or a dead path: the connection is lost.
            lose(c, nowMs());
        }
        return;
    }
}

void Failover::handle(Client& c, const char* msg, std::size_t len)
{
    const std::string_view m(msg, len);
    if (m.rfind("LIU~", 0) == 0) {
        c.state = Client::On;
        c.everOn = true;
        c.step = 0;
        if (waitingFor_.erase(c.name) && waitingFor_.empty())
            lastRecovery_ = double(nowMs() - eventAt_) / 1000;
    } else if (m.rfind("SND~", 0) == 0 || m.rfind("OffL~", 0) == 0) {
        const std::size_t at = m.find("<- T");
        if (at == std::string_view::npos)
            return;
        const std::size_t id = std::strtoull(msg + at + 4, nullptr, 10);
        if (id >= sent_.size())
            return;
        Sent& s = sent_[id];
        if (++s.deliveries > 1) {
            ++duplicates_;
            return;
        }
        latencies_.push_back(nowUs() - s.at);
        latencySentAt_.push_back(s.at);
    } else if (m.rfind("OtLog~", 0) == 0 || m.rfind("Invalid~", 0) == 0 ||
               m.rfind("Version~", 0) == 0) {
        end(c, "refused or replaced");
    }
}

void Failover::tick(std::int64_t now)
{
    for (Client& c : clients_) {
        if (c.everOn) {
            // The link's own schedule: an attempt gives up after 10 s, a log-on left
            // unanswered after 16 s; no failure ends the program.
            if ((c.state == Client::Idle && now >= c.attemptAt))
                connect(c);
            else if ((c.state == Client::Connecting && now - c.since > 10000) ||
                     (c.state == Client::Waiting && now - c.since > 16000))
                lose(c, now);
            continue;
        }
        if (c.state == Client::Ended || now < c.nextTick)
            continue;
        c.nextTick += 1000;
        // What arrived before the tick is handled first, as in the client's one event loop.
        if (c.state == Client::Waiting)
            readFrom(c);
        if (c.state == Client::On || c.state == Client::Ended)
            continue;
        if (++c.retries > 15) {
            end(c, "no level after 16 tries");
            continue;
        }
        connect(c);
    }
}

void Failover::sendDue(std::int64_t now)
{
    if (now - secondStarted_ >= 1000) {
        // A tenth of the users send in each second.
        secondStarted_ = now;
        senders_.clear();
        std::uniform_int_distribution<int> any(0, o_.clients - 1);
        for (int i = 0; i < o_.clients / 10; ++i)
            senders_.push_back(any(random_));
    }
    const std::int64_t due = std::int64_t(double(now - start_) * o_.rate / 1000);
    std::uniform_int_distribution<int> any(0, o_.clients - 1);
    for (; planned_ < due; ++planned_) {
        // A user whose client is not logged on sends nothing meanwhile: the message is not
        // written, as a user cannot send it then.
        Client& c = clients_[std::size_t(senders_[nextSender_++ % senders_.size()])];
        if (c.state != Client::On)
            continue;
        int to = any(random_);
        if (to == &c - clients_.data())
            to = (to + 1) % o_.clients;
        const Client& r = clients_[std::size_t(to)];
        // The body starts with the message's number, which the display text carries.
        const std::string text = "SND~" + c.name + std::to_string(c.level) + "~T" +
                                 std::to_string(sent_.size()) + " failover~" + r.name +
                                 std::to_string(r.level) + "~NOONE";
        sent_.push_back({nowUs(), 0, int(&c - clients_.data()), to});
        if (!send(c, text))
            sent_.pop_back();
    }
}

void Failover::pollOnce(int timeoutMs)
{
    epoll_event events[256];
    const int n = ::epoll_wait(epoll_, events, 256, timeoutMs);
    for (int i = 0; i < n; ++i) {
        Client& c = clients_[events[i].data.u32];
        if (c.fd >= 0)
            onEvent(c, events[i].events);
    }
}

QStringList Failover::nodeIds()
{
    QStringList ids;
    QSqlQuery q(QSqlDatabase::database(QStringLiteral("failover")));
    if (q.exec(QStringLiteral("SELECT id FROM nodes ORDER BY seen"))) {
        while (q.next())
            ids.append(q.value(0).toString());
    }
    return ids;
}

std::set<std::string> Failover::usersOf(const QString& node)
{
    std::set<std::string> names;
    QSqlQuery q(QSqlDatabase::database(QStringLiteral("failover")));
    q.prepare(QStringLiteral("SELECT name FROM presence WHERE node = ?"));
    q.addBindValue(node);
    if (q.exec()) {
        while (q.next())
            names.insert(q.value(0).toString().toStdString());
    }
    return names;
}

int Failover::run()
{
    QTemporaryDir dir;
    wispline::server::ServerStore store;
    QString error;
    if (!store.open(o_.database, &error)) {
        std::fprintf(stderr, "database: %s\n", qPrintable(error));
        return 1;
    }
    clients_.resize(std::size_t(o_.clients));
    for (int i = 0; i < o_.clients; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "F%04d", i);
        clients_[std::size_t(i)].name = name;
        clients_[std::size_t(i)].level = i < o_.clients / 10 ? 2 : 1;
        store.addUser(QString::fromLatin1(name), QStringLiteral("pw") + QLatin1String(name),
                      clients_[std::size_t(i)].level);
    }
    {
        QSqlDatabase db = store.addConnection(QStringLiteral("failover"));
        if (!db.open()) {
            std::fprintf(stderr, "database: cannot connect\n");
            return 1;
        }
    }
    // The nodes' log, kept when asked for.
    const QString log =
        qEnvironmentVariable("BENCH_NODES_LOG", dir.filePath(QStringLiteral("nodes.log")));
    Node a(o_.database, freePort(), log);
    Node b(o_.database, freePort(), log);
    nodes_ = {&a, &b};
    if (!a.start())
        return 1;
    while (!a.healthy())
        ::usleep(20000);
    const QString aId = nodeIds().value(0);
    if (!b.start())
        return 1;
    while (!b.healthy())
        ::usleep(20000);
    QString bId;
    for (const QString& id : nodeIds())
        bId = id == aId ? bId : id;
    if (!setBalancer({a.port(), b.port()})) {
        std::fprintf(stderr, "needs root in a network namespace of its own with iptables\n");
        return 77;
    }

    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    const std::int64_t t0 = nowMs();
    for (Client& c : clients_)
        c.nextTick = std::numeric_limits<std::int64_t>::max(); // not started yet
    // The clients start over some seconds, as an office's do over a morning: a thousand log-ons
    // in the same instant would measure the start, not the failover. At the shipped cost a full
    // check takes tens of milliseconds of a core, on a machine that holds both nodes: 10 a
    // second.
    for (Client& c : clients_) {
        const std::int64_t i = &c - clients_.data();
        if (i % 10 == 0 && i > 0) {
            const std::int64_t until = nowMs() + 1000;
            while (nowMs() < until) {
                pollOnce(5);
                tick(nowMs());
            }
        }
        c.nextTick = nowMs() + 1000;
        connect(c);
    }
    // A program that gave up is started again half a minute later, as its user would: the
    // failover starts with everyone logged on.
    int startedAgain = 0;
    std::vector<std::int64_t> endedAt(clients_.size(), 0);
    while (std::any_of(clients_.begin(), clients_.end(),
                       [](const Client& c) { return c.state != Client::On; }) &&
           nowMs() - t0 < 600000) {
        pollOnce(5);
        tick(nowMs());
        for (Client& c : clients_) {
            std::int64_t& at = endedAt[std::size_t(&c - clients_.data())];
            if (c.state != Client::Ended) {
                at = 0;
                continue;
            }
            if (at == 0)
                at = nowMs();
            if (nowMs() - at < 30000)
                continue;
            at = 0;
            ++startedAgain;
            c.retries = 0;
            c.endedBy.clear();
            c.nextTick = nowMs() + 1000;
            connect(c);
        }
    }
    std::printf("failover: %d clients logged on through the balancer in %.2f s (%d programs "
                "gave up and were started again)\n",
                o_.clients, double(nowMs() - t0) / 1000, startedAgain);

    start_ = nowMs();
    secondStarted_ = start_ - 1000;
    std::int64_t killedAt = 0;
    std::int64_t stoppedAt = 0;
    std::int64_t aRestartAt = 0;
    double killRecovery = -1;
    bool bRestarted = false;
    std::size_t lostUsers = 0;
    std::size_t stoppedUsers = 0;
    std::int64_t trafficEnd = 0;
    std::int64_t lastExitCheck = 0;
    for (;;) {
        const std::int64_t now = nowMs();
        const std::int64_t at = now - start_;
        if (at < std::int64_t(o_.runFor) * 1000)
            sendDue(now);
        else if (trafficEnd == 0)
            trafficEnd = now;
        pollOnce(1);
        tick(nowMs());
        checkHealth();
        if (killedAt == 0 && at >= std::int64_t(o_.killAt) * 1000) {
            waitingFor_ = usersOf(aId);
            lostUsers = waitingFor_.size();
            eventAt_ = killedAt = nowMs();
            lastRecovery_ = -1;
            a.signal(SIGKILL);
            a.waitForExit();
            aRestartAt = killedAt + 2000;
        }
        if (aRestartAt && now >= aRestartAt) {
            aRestartAt = 0;
            a.start();
        }
        if (killedAt && killRecovery < 0 && lastRecovery_ >= 0)
            killRecovery = lastRecovery_;
        if (stoppedAt == 0 && at >= std::int64_t(o_.stopAt) * 1000) {
            killRecovery = killRecovery < 0 ? lastRecovery_ : killRecovery;
            waitingFor_ = usersOf(bId);
            stoppedUsers = waitingFor_.size();
            eventAt_ = stoppedAt = nowMs();
            lastRecovery_ = -1;
            b.signal(SIGTERM);
        }
        if (stoppedAt && !bRestarted && now - lastExitCheck >= 100) {
            lastExitCheck = now;
            // Started again as soon as it has gone, as at an upgrade.
            if (!b.running()) {
                b.start();
                bRestarted = true;
            }
        }
        if (trafficEnd) {
            const bool allOn = std::all_of(clients_.begin(), clients_.end(), [](const Client& c) {
                return c.state == Client::On || c.state == Client::Ended;
            });
            const bool allIn = std::all_of(sent_.begin(), sent_.end(),
                                           [](const Sent& s) { return s.deliveries > 0; });
            if ((allOn && allIn) || now - trafficEnd > std::int64_t(o_.drainFor) * 1000)
                break;
        }
    }

    // Figures.
    long ended = 0;
    for (const Client& c : clients_)
        ended += c.state == Client::Ended;
    const bool debug = qEnvironmentVariableIsSet("BENCH_DEBUG");
    long lostKill = 0;
    long lostRest = 0;
    const std::int64_t killUs = (killedAt - start_) * 1000;
    for (const Sent& s : sent_) {
        if (s.deliveries > 0)
            continue;
        const std::int64_t sentAt = s.at - start_ * 1000;
        (std::llabs(sentAt - killUs) <= 1000000 ? lostKill : lostRest)++;
        // BENCH_DEBUG=1: each lost message, and where the database has it (the day's record,
        // an offline queue, an inbox), to tell a message never taken from one left waiting.
        if (debug) {
            QSqlQuery q(QSqlDatabase::database(QStringLiteral("failover")));
            const QString body = QStringLiteral("T%1 failover").arg(&s - sent_.data());
            q.exec(QStringLiteral("SELECT (SELECT count(*) FROM messages WHERE body = '%1'), "
                                  "(SELECT count(*) FROM offline WHERE text LIKE '%%1%'), "
                                  "(SELECT count(*) FROM inbox WHERE text LIKE '%%1%')")
                       .arg(body));
            const bool found = q.next();
            std::fprintf(stderr,
                         "lost: %s to %s, sent %.3f s after the start (kill %.3f, stop %.3f); "
                         "day %d offline %d inbox %d\n",
                         clients_[std::size_t(s.from)].name.c_str(),
                         clients_[std::size_t(s.to)].name.c_str(), double(sentAt) / 1e6,
                         double(killedAt - start_) / 1e3, double(stoppedAt - start_) / 1e3,
                         found ? q.value(0).toInt() : -1, found ? q.value(1).toInt() : -1,
                         found ? q.value(2).toInt() : -1);
        }
    }
    std::vector<std::int64_t> steady;
    for (std::size_t i = 0; i < latencies_.size(); ++i) {
        const std::int64_t sentAt = latencySentAt_[i] / 1000;
        const bool inKill = sentAt >= killedAt - 1000 &&
                            sentAt <= killedAt + std::int64_t(killRecovery * 1000) + 1000;
        const bool inStop =
            stoppedAt && sentAt >= stoppedAt - 1000 &&
            sentAt <= stoppedAt + std::int64_t(std::max(0.0, lastRecovery_) * 1000) + 1000;
        if (!inKill && !inStop)
            steady.push_back(latencies_[i]);
        if (debug && !inKill && !inStop && latencies_[i] > 300000)
            std::fprintf(stderr, "slow: %.0f ms, sent %.3f s after the start\n",
                         double(latencies_[i]) / 1e3, double(sentAt - start_) / 1e3);
    }
    std::sort(steady.begin(), steady.end());
    const auto p = [&](double q) {
        return steady.empty() ? 0.0
                              : double(steady[std::min(steady.size() - 1,
                                                       std::size_t(q * double(steady.size())))]) /
                                    1000;
    };
    std::printf("traffic: %zu messages in %d s (%.0f a second, a tenth of the users sending each "
                "second)\n",
                sent_.size(), o_.runFor, double(sent_.size()) / o_.runFor);
    std::printf("kill -9 of node A: %zu users on it, all logged on again after %.2f s\n", lostUsers,
                killRecovery);
    std::printf("SIGTERM of node B: %zu users on it, all logged on again after %.2f s\n",
                stoppedUsers, lastRecovery_);
    std::printf("programs ended: %ld\n", ended);
    long listed = 0;
    for (const Client& c : clients_) {
        if (c.state == Client::Ended && ++listed <= 10)
            std::printf("  %s: %s\n", c.name.c_str(), c.endedBy.c_str());
    }
    std::printf("reconnect attempts that failed: %ld connecting, %ld waiting for the answer; at "
                "most %d attempts of one user for one loss\n",
                failedAttempts_[0], failedAttempts_[1], mostSteps_);
    int mostRetries = 0;
    for (const Client& c : clients_)
        mostRetries = std::max(mostRetries, c.retries);
    std::printf("most seconds without a level of one client: %d (the program ends at 16)\n",
                mostRetries);
    std::printf("messages lost: %ld sent within a second of the kill, %ld others\n", lostKill,
                lostRest);
    std::printf("messages delivered twice: %lld\n", static_cast<long long>(duplicates_));
    std::printf("latency outside the failover windows: p50 %.2f  p99 %.2f  max %.2f ms (%zu "
                "messages)\n",
                p(0.5), p(0.99), p(1.0), steady.size());
    std::fflush(stdout);

    for (Client& c : clients_)
        closeSocket(c);
    b.signal(SIGTERM);
    b.waitForExit();
    a.signal(SIGTERM);
    a.waitForExit();
    QSqlDatabase::removeDatabase(QStringLiteral("failover"));
    return 0;
}

} // namespace

int runFailover(const QStringList& args)
{
    FailoverOptions o;
    for (int i = 0; i + 1 < args.size(); i += 2) {
        const QString& key = args[i];
        const int v = args[i + 1].toInt();
        if (key == QLatin1String("--db"))
            o.database = args[i + 1];
        else if (key == QLatin1String("--clients"))
            o.clients = v;
        else if (key == QLatin1String("--rate"))
            o.rate = v;
        else if (key == QLatin1String("--kill-at"))
            o.killAt = v;
        else if (key == QLatin1String("--stop-at"))
            o.stopAt = v;
        else if (key == QLatin1String("--run"))
            o.runFor = v;
        else
            o.database.clear();
    }
    if (!o.database.startsWith(QLatin1String("postgresql://")) || o.clients < 20 || o.killAt < 1 ||
        o.stopAt <= o.killAt || o.runFor <= o.stopAt) {
        std::fprintf(stderr,
                     "usage: bench_server_load --failover --db postgresql://... "
                     "[--clients N] [--rate PER_S] [--kill-at S] [--stop-at S] [--run S]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    return Failover(o).run();
}
