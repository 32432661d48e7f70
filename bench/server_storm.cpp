// Restart storm run of bench_server_load (--storm N): N users, each on a loopback address of its
// own, at the shipped password cost and limits, start their programs over --spread S seconds
// (default 60; the first-log-on storm) and stay logged on to one server on SQLite, while 5 % of
// them (--senders P) send one message each second to another user. The server is then stopped
// (SIGTERM), started again 2 seconds after it left (systemd's RestartSec=2) on the same database
// and port, and the users follow one of the client's reset rules:
//   today         after a reset, a first attempt 1-5 s later at random, then at 2, 4, 8 ... s, each
//                 shortened at random by up to half, at most 60 s; an attempt gives up after
//                 10 s, a log-on left unanswered after 16 s; no failed attempt ends the program;
//   old-lan       the connection is made again at the program's next 60 s tick;
//   old-internet  at once (the box about the lost connection read at once), and the program ends
//                 when that attempt fails.
// In every variant the program ends when the server closes in order or refuses the log-on.
// A user sends only while logged on (the client keeps what is typed until then); programs that
// ended are started again after the figures are taken, so that what was kept for them arrives.
//
// Reports for the first log-ons: the programs that gave up, the seconds until all were in, the
// server's CPU. For each variant: the programs ended, the seconds from the server's return until
// every user was logged on again (and the longest wait of a log-on that reached it), the server's
// CPU seconds from its return until then and its password checks by kind, the messages sent,
// lost and delivered twice (by the number each body carries).
//   unshare -n sh -c 'ip link set lo up && build/bench/bench_server_load --storm 2000'
//       [--spread 60] [--senders 5] [--rules today,old-lan,old-internet] [--keep FILE]
#include "server_relogon.h"

#include <random>
#include <string_view>

namespace
{

using relogon::nowMs;

enum class Rules { Today, OldLan, OldInternet };

struct Peer {
    enum State { Off, Connecting, Waiting, On, Ended };
    int fd = -1;
    State state = Off;
    std::string name;
    in_addr from{};
    std::string in;
    std::string out;
    std::int64_t attemptAt = -1; // ms; -1 while none is planned
    std::int64_t since = 0;      // when the connect, or the wait for the log-on's answer, began
    std::int64_t phase = 0;      // the program's start: its 60 s ticks
    std::int64_t lostAt = 0;
    int step = 0;           // the place in today's schedule
    bool restarted = false; // its program started again: no level yet, a new try each second
    const char* endedBy = "";
};

class Crowd
{
public:
    Crowd(relogon::Storm& storm, quint16 port, double sendersShare)
        : port_(port), sendersShare_(sendersShare), random_(20261207)
    {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        const auto& users = storm.users();
        peers_.resize(users.size());
        for (std::size_t i = 0; i < users.size(); ++i) {
            Peer& p = peers_[i];
            p.name = users[i].name;
            p.from = users[i].from;
            p.phase = users[i].startAt;
            p.fd = users[i].state == relogon::User::On ? storm.release(i) : -1;
            if (p.fd >= 0) {
                p.state = Peer::On;
                watch(p, EPOLL_CTL_ADD, false);
            } else {
                p.state = Peer::Ended;
                p.endedBy = "gave up at the first log-on";
            }
        }
    }
    ~Crowd()
    {
        for (Peer& p : peers_)
            closeSocket(p);
        ::close(epoll_);
    }

    // Runs on its own thread until stop(): the server is stopped and started meanwhile.
    void loop()
    {
        while (!stop_) {
            const std::int64_t now = nowMs();
            if (restartEnded_.exchange(false))
                for (Peer& p : peers_)
                    if (p.state == Peer::Ended) {
                        p = Peer{-1, Peer::Off, p.name, p.from, {}, {}, now, 0, now};
                        p.restarted = true;
                    }
            int on = 0;
            int ended = 0;
            for (Peer& p : peers_) {
                due(p, now);
                on += p.state == Peer::On;
                ended += p.state == Peer::Ended;
            }
            on_ = on;
            ended_ = ended;
            if (sending_)
                sendDue(now);
            else
                planFrom_ = -1;
            epoll_event events[512];
            const int n = ::epoll_wait(epoll_, events, 512, 5);
            for (int i = 0; i < n; ++i) {
                Peer& p = peers_[events[i].data.u32];
                if (p.fd >= 0)
                    onEvent(p, events[i].events);
            }
            undelivered_ = int(std::count(deliveries_.cbegin(), deliveries_.cend(), 0));
        }
        stop_ = false;
    }

    // Between runs of loop() only.
    void setRules(Rules rules) { rules_ = rules; }
    void clearFigures()
    {
        deliveries_.clear();
        heldBack_ = 0;
        backAt_ = 0;
        std::fill(std::begin(failedAfterBack_), std::end(failedAfterBack_), 0);
        lastOnAt_ = 0;
        longestWait_ = 0;
        endedBy_.clear();
        for (Peer& p : peers_)
            p.step = 0;
    }
    int sent() const { return int(deliveries_.size()); }
    int lost() const { return int(std::count(deliveries_.cbegin(), deliveries_.cend(), 0)); }
    int duplicated() const
    {
        return int(
            std::count_if(deliveries_.cbegin(), deliveries_.cend(), [](int d) { return d > 1; }));
    }
    int heldBack() const { return heldBack_; }
    std::int64_t lastOnAt() const { return lastOnAt_; }
    std::int64_t longestWait() const { return longestWait_; }
    const std::vector<std::string>& endedBy() const { return endedBy_; }

    // From the controlling thread.
    std::atomic<bool> stop_{false};
    std::atomic<bool> sending_{false};
    std::atomic<bool> restartEnded_{false};
    std::atomic<int> on_{0};
    std::atomic<int> ended_{0};
    std::atomic<int> undelivered_{0};
    std::atomic<std::int64_t> backAt_{0};
    // Attempts after the server's return that failed: while connecting, while the log-on
    // waited, and others.
    int failedAfterBack_[3] = {};

private:
    void watch(Peer& p, int op, bool out)
    {
        epoll_event ev{};
        ev.events = EPOLLIN | (out ? EPOLLOUT : 0u);
        ev.data.u32 = std::uint32_t(&p - peers_.data());
        ::epoll_ctl(epoll_, op, p.fd, &ev);
    }
    void closeSocket(Peer& p)
    {
        if (p.fd >= 0)
            ::close(p.fd);
        p.fd = -1;
        p.in.clear();
        p.out.clear();
    }
    void end(Peer& p, const char* why)
    {
        closeSocket(p);
        p.state = Peer::Ended;
        p.attemptAt = -1;
        p.endedBy = why;
        endedBy_.emplace_back(why);
    }
    // The client's ServerLink::nextReconnectDelay.
    int reconnectDelay(Peer& p)
    {
        const int step = p.step++;
        if (step == 0)
            return 1000 + std::uniform_int_distribution<int>(0, 4000)(random_);
        std::int64_t nominal = 2000;
        for (int i = 1; i < step && nominal < 60000; ++i)
            nominal *= 2;
        nominal = std::min<std::int64_t>(nominal, 60000);
        return int(nominal) - std::uniform_int_distribution<int>(0, int(nominal / 2))(random_);
    }
    // The connection was lost (a reset), or an attempt failed (refused, or no connection within
    // 10 s, or a log-on left unanswered).
    void lost(Peer& p, bool attemptFailed, std::int64_t now)
    {
        if (backAt_ > 0 && p.state != Peer::On)
            ++failedAfterBack_[p.state == Peer::Waiting ? 1 : p.state == Peer::Connecting ? 0 : 2];
        if (p.state == Peer::On)
            p.lostAt = now;
        closeSocket(p);
        p.state = Peer::Off;
        if (p.restarted) {
            p.attemptAt = p.since + 1000; // no level yet: the next second's tick
        } else if (rules_ == Rules::Today) {
            p.attemptAt = now + reconnectDelay(p);
        } else if (rules_ == Rules::OldLan) {
            p.attemptAt = p.phase + ((now - p.phase) / 60000 + 1) * 60000;
        } else if (attemptFailed) {
            end(p, "Unable to Connect to the Server");
        } else {
            p.attemptAt = now;
        }
    }
    void due(Peer& p, std::int64_t now)
    {
        switch (p.state) {
        case Peer::Connecting:
            if (now - p.since > 10000)
                lost(p, true, now);
            break;
        case Peer::Waiting:
            // Old rules: the level is still set after a reset, so nothing watches the answer.
            if (p.restarted ? now - p.since >= 1000
                            : rules_ == Rules::Today && now - p.since > 16000)
                lost(p, true, now);
            break;
        case Peer::Off:
            if (p.attemptAt >= 0 && now >= p.attemptAt)
                connect(p, now);
            break;
        default:
            break;
        }
    }
    void connect(Peer& p, std::int64_t now)
    {
        closeSocket(p);
        p.attemptAt = -1;
        p.since = now;
        p.state = Peer::Connecting;
        p.fd = relogon::connectFrom(p.from, relogon::loopbackPort(port_));
        if (p.fd < 0) {
            lost(p, true, now);
            return;
        }
        watch(p, EPOLL_CTL_ADD, true);
    }
    bool send(Peer& p, const std::string& text)
    {
        p.out += text;
        while (!p.out.empty()) {
            const ssize_t n = ::send(p.fd, p.out.data(), p.out.size(), MSG_NOSIGNAL);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                lost(p, false, nowMs());
                return false;
            }
            if (n <= 0)
                break;
            p.out.erase(0, std::size_t(n));
        }
        watch(p, EPOLL_CTL_MOD, !p.out.empty());
        return true;
    }
    void onEvent(Peer& p, std::uint32_t events)
    {
        const std::int64_t now = nowMs();
        if (p.state == Peer::Connecting) {
            int error = 0;
            socklen_t size = sizeof error;
            ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &size);
            if (error != 0) {
                lost(p, true, now);
                return;
            }
            if (!(events & EPOLLOUT))
                return;
            p.state = Peer::Waiting;
            p.since = now;
            send(p, "LIU~" + p.name + "~pw" + p.name + "~1.1.1~00-00-00-00-00-00");
            return;
        }
        if ((events & EPOLLOUT) && !p.out.empty() && !send(p, std::string()))
            return;
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            readFrom(p, now);
    }
    void readFrom(Peer& p, std::int64_t now)
    {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
            if (n > 0) {
                p.in.append(buf, std::size_t(n));
                continue;
            }
            std::size_t start = 0;
            for (std::size_t end; (end = p.in.find('`', start)) != std::string::npos;
                 start = end + 1) {
                handle(p, std::string_view(p.in).substr(start, end - start), now);
                if (p.fd < 0)
                    return;
            }
            p.in.erase(0, start);
            if (n == 0)
                end(p, "the server closed the connection in order");
            else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                lost(p, p.state == Peer::Connecting, now);
            return;
        }
    }
    void handle(Peer& p, std::string_view m, std::int64_t now)
    {
        if (p.state == Peer::Waiting && m.substr(0, 4) == "LIU~") {
            p.state = Peer::On;
            p.step = 0;
            p.restarted = false;
            if (p.lostAt > 0) {
                lastOnAt_ = std::max(lastOnAt_, now);
                longestWait_ = std::max(longestWait_, now - p.since);
                p.lostAt = 0;
            }
        } else if (m.substr(0, 4) == "SND~" || m.substr(0, 5) == "OffL~") {
            const std::size_t at = m.find("<- T");
            if (at == std::string_view::npos)
                return;
            const std::size_t id = std::strtoull(m.data() + at + 4, nullptr, 10);
            if (id < deliveries_.size())
                ++deliveries_[id];
        } else if (m.substr(0, 6) == "OtLog~" || m.substr(0, 8) == "Invalid~" ||
                   m.substr(0, 8) == "Version~") {
            end(p, "the log-on was refused");
        }
    }
    void sendDue(std::int64_t now)
    {
        if (planFrom_ < 0) {
            planFrom_ = now;
            planned_ = 0;
            secondAt_ = now - 1000;
        }
        const int perSecond = std::max(1, int(double(peers_.size()) * sendersShare_ / 100));
        std::uniform_int_distribution<int> any(0, int(peers_.size()) - 1);
        if (now - secondAt_ >= 1000) {
            secondAt_ = now;
            senders_.clear();
            for (int i = 0; i < perSecond; ++i)
                senders_.push_back(any(random_));
            nextSender_ = 0;
        }
        const std::int64_t due = (now - planFrom_) * perSecond / 1000;
        for (; planned_ < due && nextSender_ < senders_.size(); ++planned_) {
            Peer& p = peers_[std::size_t(senders_[nextSender_++])];
            if (p.state != Peer::On) {
                ++heldBack_; // kept in the box until the client is back
                continue;
            }
            int to = any(random_);
            if (to == &p - peers_.data())
                to = (to + 1) % int(peers_.size());
            // The body starts with the message's number, which the display text carries.
            const std::string text = "SND~" + p.name + "1~T" + std::to_string(deliveries_.size()) +
                                     " storm~" + peers_[std::size_t(to)].name + "1~NOONE";
            deliveries_.push_back(0);
            if (!send(p, text))
                deliveries_.pop_back();
        }
    }

    std::vector<Peer> peers_;
    quint16 port_;
    double sendersShare_;
    Rules rules_ = Rules::Today;
    std::mt19937 random_;
    int epoll_ = -1;
    std::vector<int> deliveries_; // by message number
    std::vector<int> senders_;
    std::size_t nextSender_ = 0;
    std::int64_t planFrom_ = -1;
    std::int64_t planned_ = 0;
    std::int64_t secondAt_ = 0;
    int heldBack_ = 0;
    std::int64_t lastOnAt_ = 0;
    std::int64_t longestWait_ = 0;
    std::vector<std::string> endedBy_;
};

// Waits, polling, until done() or the time is up; false when the time ran out.
template <typename Done> bool waitFor(Done done, int seconds)
{
    const std::int64_t until = nowMs() + std::int64_t(seconds) * 1000;
    while (!done()) {
        if (nowMs() > until)
            return false;
        ::usleep(20000);
    }
    return true;
}

const char* nameOf(Rules rules)
{
    return rules == Rules::Today ? "today" : rules == Rules::OldLan ? "old-lan" : "old-internet";
}

} // namespace

int runStorm(const QStringList& args)
{
    using namespace relogon;
    int users = 2000;
    int spread = 60;
    double senders = 5;
    QString kept;
    QStringList variants = {QStringLiteral("today"), QStringLiteral("old-lan"),
                            QStringLiteral("old-internet")};
    bool ok = args.size() % 2 == 0;
    for (int i = 0; ok && i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--storm"))
            users = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--spread"))
            spread = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--senders"))
            senders = args[i + 1].toDouble();
        else if (args[i] == QLatin1String("--keep"))
            kept = args[i + 1];
        else if (args[i] == QLatin1String("--rules"))
            variants = args[i + 1].split(QLatin1Char(','));
        else
            ok = false;
    }
    for (const QString& v : variants)
        ok = ok && (v == QLatin1String("today") || v == QLatin1String("old-lan") ||
                    v == QLatin1String("old-internet"));
    if (!ok || users < 2 || users > 60000 || spread < 0 || senders <= 0 || senders > 100) {
        std::fprintf(stderr, "usage: bench_server_load --storm N [--spread S] [--senders P] "
                             "[--rules today,old-lan,old-internet] [--keep FILE]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir dir;
    const std::int64_t made = nowMs();
    const QString database = prepareDatabase(kept, dir, users);
    if (database.isEmpty())
        return 1;
    std::printf("%d users at %d rounds made in %.1f s; %ld cores, load average %s", users,
                wispline::server::ServerStore::kDefaultKdfIterations, double(nowMs() - made) / 1000,
                ::sysconf(_SC_NPROCESSORS_ONLN), [] {
                    static char line[128] = {};
                    if (FILE* f = std::fopen("/proc/loadavg", "r")) {
                        line[std::fread(line, 1, sizeof line - 1, f)] = 0;
                        std::fclose(f);
                    }
                    return line;
                }());

    Server server;
    if (!server.start(database, 0)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const quint16 port = server.port();
    Storm storm(users, port);
    {
        const double cpu = cpuOf(server.pid());
        int ended = 0;
        const std::int64_t ms = storm.run(spread * 1000, &ended);
        std::printf("first log-ons over %d s: %d gave up, all in after %.2f s, server CPU %.2f s, "
                    "checks: %.0f full, %.0f verifier\n",
                    spread, ended, double(ms) / 1000, cpuOf(server.pid()) - cpu,
                    server.metric("wispline_password_checks_total{kind=\"full\"}"),
                    server.metric("wispline_password_checks_total{kind=\"verifier\"}"));
    }
    Crowd crowd(storm, port, senders);
    for (const QString& v : variants) {
        const Rules rules = v == QLatin1String("today")     ? Rules::Today
                            : v == QLatin1String("old-lan") ? Rules::OldLan
                                                            : Rules::OldInternet;
        crowd.setRules(rules);
        crowd.clearFigures();
        std::thread thread([&] { crowd.loop(); });
        // Everyone logged on (programs that ended before are started again), then the traffic.
        crowd.restartEnded_ = true;
        if (!waitFor([&] { return crowd.on_ == users; }, 300))
            std::printf("  %s: only %d of %d logged on before the restart\n", nameOf(rules),
                        int(crowd.on_), users);
        crowd.sending_ = true;
        ::sleep(10);
        const std::int64_t stopping = nowMs();
        server.stop();
        const std::int64_t stopped = nowMs();
        ::sleep(2);
        const std::int64_t starting = nowMs();
        if (!server.start(database, port)) {
            std::fprintf(stderr, "the server did not start again\n");
            crowd.stop_ = true;
            thread.join();
            return 1;
        }
        const std::int64_t back = nowMs();
        crowd.backAt_ = back;
        const double cpu = cpuOf(server.pid());
        const bool allIn = waitFor([&] { return crowd.on_ + crowd.ended_ == users; }, 300);
        const double logOnCpu = cpuOf(server.pid()) - cpu;
        const int ended = crowd.ended_;
        const double full = server.metric("wispline_password_checks_total{kind=\"full\"}");
        const double fast = server.metric("wispline_password_checks_total{kind=\"verifier\"}");
        ::sleep(5);
        crowd.sending_ = false;
        crowd.restartEnded_ = true;
        waitFor([&] { return crowd.on_ == users; }, 120);
        // Until every message arrived, or nothing more did for 20 s.
        for (int left = crowd.undelivered_, quiet = 0; left > 0 && quiet < 1000;) {
            ::usleep(20000);
            quiet = crowd.undelivered_ == left ? quiet + 1 : 0;
            left = crowd.undelivered_;
        }
        crowd.stop_ = true;
        thread.join();
        char allInText[64];
        if (crowd.lastOnAt() == 0)
            std::snprintf(allInText, sizeof allInText, "none back");
        else
            std::snprintf(allInText, sizeof allInText, "all in %.2f s after the return%s",
                          double(crowd.lastOnAt() - back) / 1000, allIn ? "" : " (not all)");
        std::printf("%-13s %4d ended  %s (longest log-on wait %.2f s)  stopped in %.2f s, "
                    "listening %.2f s after the start  server CPU %5.2f s  checks: %.0f full, %.0f "
                    "verifier  messages: %d sent, %d lost, %d twice, %d held back while away\n",
                    nameOf(rules), ended, allInText, double(crowd.longestWait()) / 1000,
                    double(stopped - stopping) / 1000, double(back - starting) / 1000, logOnCpu,
                    full, fast, crowd.sent(), crowd.lost(), crowd.duplicated(), crowd.heldBack());
        if (crowd.failedAfterBack_[0] + crowd.failedAfterBack_[1] + crowd.failedAfterBack_[2] > 0)
            std::printf("    attempts that failed after the return: %d connecting, %d waiting for "
                        "the answer, %d others\n",
                        crowd.failedAfterBack_[0], crowd.failedAfterBack_[1],
                        crowd.failedAfterBack_[2]);
        std::vector<std::string> why = crowd.endedBy();
        std::sort(why.begin(), why.end());
        for (auto i = why.cbegin(); i != why.cend();) {
            const auto j = std::upper_bound(i, why.cend(), *i);
            std::printf("    %ld ended: %s\n", long(j - i), i->c_str());
            i = j;
        }
    }
    server.stop();
    return 0;
}
