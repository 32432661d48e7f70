// Log-on storm run of bench_server_load (--relogon N): N users, each on a loopback address of its
// own, at the shipped password cost and limits, log on to one server on SQLite; the server is
// then stopped and started again, and all of them log on again at once. Each client follows the
// client's rules while it has no level: a new connection and LIU every second, the program ends
// at the 16th such second; after a reset it connects again at once.
//
// Reports for each round: the programs that ended, the seconds until the last user was logged
// on, the server's CPU seconds meanwhile and its password checks by kind (full key derivations,
// fast verifiers). --spread S starts the first round's programs over S seconds instead of at
// once. The users' hashes are made first, on every core (about N x 50 ms of CPU).
//   build/bench/bench_server_load --relogon 2000 [--spread 60] [--keep FILE]
// --keep keeps the users' database in FILE for the next run; BENCH_SERVER_LOG=FILE keeps the
// server's log.
#include "server_relogon.h"

int runRelogon(const QStringList& args)
{
    int users = 2000;
    int spread = 0;
    QString kept;
    for (int i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--relogon"))
            users = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--spread"))
            spread = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--keep"))
            kept = args[i + 1];
    }
    if (users < 1 || users > 60000 || spread < 0) {
        std::fprintf(stderr, "usage: bench_server_load --relogon N [--spread S]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    using namespace relogon;
    QTemporaryDir dir;
    const std::int64_t made = nowMs();
    const QString database = prepareDatabase(kept, dir, users);
    if (database.isEmpty())
        return 1;
    std::printf("%d users at %d rounds made in %.1f s\n", users,
                wispline::server::ServerStore::kDefaultKdfIterations,
                double(nowMs() - made) / 1000);

    Server server;
    if (!server.start(database, 0)) {
        std::fprintf(stderr, "the server did not start\n");
        return 1;
    }
    const quint16 port = server.port();
    Storm storm(users, port);
    const auto round = [&](const char* what, int spreadMs) {
        const double cpu = cpuOf(server.pid());
        int ended = 0;
        const std::int64_t ms = storm.run(spreadMs, &ended);
        std::printf("%-34s %5d ended  all in after %6.2f s  server CPU %6.2f s  checks: %5.0f "
                    "full, %5.0f verifier\n",
                    what, ended, double(ms) / 1000, cpuOf(server.pid()) - cpu,
                    server.metric("wispline_password_checks_total{kind=\"full\"}"),
                    server.metric("wispline_password_checks_total{kind=\"verifier\"}"));
    };
    round(spread > 0 ? "first log-ons, spread" : "first log-ons, at once", spread * 1000);
    storm.disconnectAll();
    server.stop();
    if (!server.start(database, port)) {
        std::fprintf(stderr, "the server did not start again\n");
        return 1;
    }
    round("after a restart, at once", 0);
    storm.disconnectAll();
    server.stop();
    return 0;
}
