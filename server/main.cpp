// wispline-server: the message server the Wispline client logs on to.
#include "admin/AdminServer.h"
#include "admin/ServiceNotifier.h"
#include "app/AnnouncedStop.h"
#include "app/Leftovers.h"
#include "app/ServerOptions.h"
#include "app/SignalWatcher.h"
#include "base/Crypto.h"
#include "base/ServerLog.h"
#include "base/ServerMetrics.h"
#include "base/ServerRules.h"
#include "cluster/ServerNode.h"
#include "directory/Directory.h"
#include "directory/DirectorySignIn.h"
#include "net/EpollEventDispatcher.h"
#include "routing/MessageServer.h"
#include "store/ServerStore.h"
#include "store/StoreBackup.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>
#include <csignal>
#include <malloc.h>
#include <memory>
#include <sys/resource.h>

using namespace wispline::server;

namespace
{

// Every client holds one descriptor; the soft limit is often far below what the system allows.
void raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Clients that never read their last messages must not keep the process alive for ever.
constexpr int kShutdownGraceMs = 3000;

} // namespace

int main(int argc, char* argv[])
{
    // The routing thread allocates most; the store, the password checks and the directory each
    // run on threads of their own, and glibc gives every thread that meets a locked arena a new
    // one (up to eight per core), each keeping what was freed in it for its own thread. Two
    // arenas keep memory freed by one thread usable by the others, and the resident size from
    // creeping up after a log-on storm. MALLOC_ARENA_MAX, when set, still decides.
    if (!qEnvironmentVariableIsSet("MALLOC_ARENA_MAX"))
        ::mallopt(M_ARENA_MAX, 2);
    // Readiness from epoll: a wake-up costs what is ready, not every connection's socket.
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("wispline-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3")
                                                .arg(WISPLINE_VERSION_MAJOR)
                                                .arg(WISPLINE_VERSION_MINOR)
                                                .arg(WISPLINE_VERSION_PATCH));
    QTextStream out(stdout);
    QTextStream err(stderr);

    ServerOptions options;
    QString error;
    if (!parseArguments(app.arguments(), &options, &error)) {
        err << "wispline-server: " << error << "\n\n" << usage() << Qt::flush;
        return 2;
    }
    if (options.help) {
        out << usage() << Qt::flush;
        return 0;
    }
    if (options.version) {
        out << QCoreApplication::applicationName() << ' ' << QCoreApplication::applicationVersion()
            << Qt::endl;
        return 0;
    }
    setLogEnabled(!options.quiet);
    setDebugEnabled(options.debug);
    // Before any other thread runs: the environment variable it may come from is removed.
    if (!readDirectoryPassword(&options.directory, &error)) {
        err << "wispline-server: " << error << Qt::endl;
        return 1;
    }

    const QString path = options.database.isEmpty() ? defaultDatabasePath() : options.database;
    if (options.admin == ServerOptions::Admin::Backup) {
        const QString& target = options.adminArguments.constFirst();
        if (ServerStore::isPostgresAddress(path)) {
            err << "wispline-server: --backup copies a SQLite file; back up PostgreSQL with "
                   "pg_dump"
                << Qt::endl;
            return 1;
        }
        if (!backUpSqlite(path, target, &error)) {
            err << "wispline-server: cannot back up " << path << ": " << error << Qt::endl;
            return 1;
        }
        out << "backed up " << path << " to " << target << Qt::endl;
        return 0;
    }
    ServerStore store;
    if (options.kdfIterations > 0)
        store.setKdfIterations(options.kdfIterations);
    if (!store.open(path, &error)) {
        err << "wispline-server: cannot open the database " << path << ": " << error << Qt::endl;
        return 1;
    }
    if (options.admin != ServerOptions::Admin::None)
        return runAdminCommand(options, store, out, err);
    if (options.commitDelayMs >= 0)
        store.setCommitDelay(options.commitDelayMs);
    if (options.verifierDays >= 0)
        store.setVerifierDays(options.verifierDays);
    QByteArray serverKey; // outside the database, which holds what it makes
    if (!crypto::loadServerKey(serverKeyPath(options, path), &serverKey, &error)) {
        err << "wispline-server: " << error << Qt::endl;
        return 1;
    }
    if (options.demo && !addDemoAccounts(store, out, err))
        return 1;
    // What the last run could not write goes into the database before anyone is served: a user
    // logging on reads a queue with nothing missing, in order.
    const QString spillPath =
        options.spillFile.isEmpty() ? defaultSpillPath(path) : options.spillFile;
    SpillReplay replayed;
    if (!prepareSpillFolder(spillPath, &error)) {
        err << "wispline-server: cannot keep the spill file " << spillPath << ": " << error
            << Qt::endl;
        return 1;
    }
    if (!store.replaySpill(spillPath, &replayed, &error)) {
        err << "wispline-server: cannot write what the last run kept in " << spillPath
            << " into the database: " << error << " (the file stays for the next start)"
            << Qt::endl;
        return 1;
    }
    reportReplay(replayed, spillPath);

    ::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();

    // On PostgreSQL this server is one node of those sharing the database. Declared before the
    // server, so that it outlives the connections the server ends on the way out.
    std::unique_ptr<ServerNode> node;
    if (store.isPostgres()) {
        node = std::make_unique<ServerNode>(store);
        if (!node->start(&error)) {
            err << "wispline-server: cannot join the other nodes: " << error << Qt::endl;
            return 1;
        }
    }
    // Users of other nodes who are sent the replayed messages read their queues again.
    if (node && !replayed.recipients.isEmpty()) {
        QList<QByteArray> names;
        for (const QString& name : std::as_const(replayed.recipients))
            names.append(toWire(name));
        node->queuedMeanwhile(names);
    }
    // Asked by the server's check workers: it outlives the server.
    std::unique_ptr<Directory> directory;
    if (options.directory.enabled()) {
        directory = std::make_unique<Directory>(options.directory);
        if (!directory->start(&error)) {
            err << "wispline-server: " << error << Qt::endl;
            return 1;
        }
    }
    // Gone before what waits to be written is kept (see keepLeftovers() below): connections
    // still open then give back what their clients never got.
    auto server = std::make_unique<MessageServer>(store);
    if (directory) {
        server->setFullCheck(directoryFullCheck(*directory, store));
        server->setDirectory(options.directory.recheckHours * 3600,
                             options.directory.passwordChange ? directoryPasswordChange(*directory)
                                                              : DirectoryPasswordChange());
        logLine(QStringLiteral("users without a local account sign in against the directory %1")
                    .arg(options.directory.url));
    }
    server->setVerifierKey(serverKey);
    if (node)
        server->setNode(node.get());
    if (options.settleMs >= 0)
        server->setSettleTime(options.settleMs);
    MessageServer::Limits limits;
    const auto chosen = [](int value, int otherwise) { return value > 0 ? value : otherwise; };
    limits.maxAnonymous = chosen(options.maxAnonymous, limits.maxAnonymous);
    limits.maxAnonymousPerAddress =
        chosen(options.maxAnonymousPerAddress, limits.maxAnonymousPerAddress);
    limits.maxChecks = chosen(options.maxChecks, limits.maxChecks);
    limits.maxChecksPerAddress = chosen(options.maxChecksPerAddress, limits.maxChecksPerAddress);
    limits.logOnTimeMs = chosen(options.logOnTimeMs, limits.logOnTimeMs);
    limits.deadPeerSeconds = chosen(options.deadPeerSeconds, limits.deadPeerSeconds);
    limits.closeTimeMs = chosen(options.closeTimeMs, limits.closeTimeMs);
    limits.storeTimeoutSeconds = chosen(options.storeTimeoutSeconds, limits.storeTimeoutSeconds);
    limits.rates.messages = chosen(options.budgetMessages, int(limits.rates.messages));
    limits.rates.deliveries = chosen(options.budgetDeliveries, int(limits.rates.deliveries));
    limits.rates.storedBytes =
        chosen(options.budgetStoreKb, int(limits.rates.storedBytes / 1024)) * 1024.0;
    server->setLimits(limits);
    store.setOfflineBounds(
        chosen(options.maxOffline, OfflineQueue::kDefaultMaxRows),
        qint64(chosen(options.maxOfflineKb, OfflineQueue::kDefaultMaxBytes / 1024)) * 1024);
    if (options.minFreeMb >= 0)
        store.setFreeSpaceFloor(qint64(options.minFreeMb) * 1024 * 1024);
    if (!options.tlsCertificate.isEmpty() &&
        !server->useTls(options.tlsCertificate, options.tlsKey, &error)) {
        err << "wispline-server: " << error << Qt::endl;
        return 1;
    }
    server->setRequireTls(options.requireTls);
    SignalWatcher watcher;
    // A hang-up ends the server like a stop request, saving what waits, but with status 1: a
    // reload asked for is not done (nothing is read again yet), and the service manager's
    // restart reads everything anew. One started to ignore hang-ups (nohup) keeps ignoring them.
    struct sigaction hangUp = {};
    ::sigaction(SIGHUP, nullptr, &hangUp);
    if (!watcher.watch({SIGINT, SIGTERM, SIGUSR1}) ||
        (hangUp.sa_handler != SIG_IGN && !watcher.watch({SIGHUP}))) {
        err << "wispline-server: cannot watch for SIGINT, SIGTERM, SIGUSR1 and SIGHUP" << Qt::endl;
        return 1;
    }
    const QHostAddress address(options.address);
    if (address.isNull()) {
        err << "wispline-server: not an address: " << options.address << Qt::endl;
        return 2;
    }
    if (!server->listen(address, options.port, &error)) {
        err << "wispline-server: cannot listen on " << options.address << ':' << options.port
            << ": " << error << Qt::endl;
        return 1;
    }
    logLine(QStringLiteral("database %1").arg(path));
    out << "listening on " << server->address().toString() << ':' << server->port() << Qt::endl;

    const auto notReadyBecause = [&]() -> QString {
        if (server->isShuttingDown())
            return QStringLiteral("shutting down");
        if (!server->isListening())
            return QStringLiteral("not listening");
        if (!store.reachable())
            return QStringLiteral("database not working");
        if (store.spaceLow())
            return QStringLiteral("disk space low: %1 MB free for the database, floor %2 MB")
                .arg(store.freeBytes() >> 20)
                .arg(store.freeSpaceFloor() >> 20);
        if (!node)
            return {};
        // Messages for other nodes the database does not take: their users get nothing.
        if (const qint64 waiting = node->outgoingWaitingMs();
            waiting > ServerNode::kExpirySeconds * 1000)
            return QStringLiteral("messages for other nodes waiting %1 ms").arg(waiting);
        if (!node->registered())
            return QStringLiteral("node not registered");
        // Stale a beat and a slow takeover before the other nodes take this one for dead.
        const qint64 age = node->heartbeatAgeMs();
        if (age > (ServerNode::kExpirySeconds - 1) * 1000)
            return QStringLiteral("node heartbeat %1 ms old").arg(age);
        return {};
    };
    using metrics::addGauge;
    addGauge("wispline_connections", "state=\"anonymous\"", "Client connections by state",
             [&] { return server->connectionCount() - server->onlineCount(); });
    addGauge("wispline_connections", "state=\"logged_on\"", "Client connections by state",
             [&] { return server->onlineCount(); });
    addGauge("wispline_store_queue_rows", {}, "Rows waiting to be written",
             [&] { return double(store.queuedRows()); });
    addGauge("wispline_store_queue_bytes", {}, "Bytes waiting to be written",
             [&] { return double(store.queuedBytes()); });
    addGauge("wispline_password_checks", {}, "Password checks waiting or running",
             [&] { return server->checksWaiting(); });
    addGauge("wispline_ready", {}, "1 while log-ons are taken",
             [&] { return notReadyBecause().isEmpty() ? 1 : 0; });
    if (directory)
        addGauge("wispline_directory_up", {}, "1 while the directory answers",
                 [&] { return directory->reachable() ? 1 : 0; });
    if (node) {
        addGauge("wispline_node_heartbeat_age_seconds", {}, "Since the last heartbeat",
                 [&] { return node->heartbeatAgeMs() / 1000.0; });
        addGauge("wispline_nodes_alive", {}, "Live nodes, this one included",
                 [&] { return node->nodesAlive(); });
    }
    // Gone before the server: it asks the server for readiness and the metrics.
    auto admin = std::make_unique<AdminServer>();
    admin->notReadyBecause = notReadyBecause;
    // A directory that does not answer leaves the server ready: its own accounts and users with
    // a fresh verifier still log on, and every node asks the same directory.
    if (directory)
        admin->notes = [&]() -> QString {
            const QString problem = directory->problem();
            return problem.isEmpty() ? QString() : QStringLiteral("directory ") + problem;
        };
    if (!options.adminAddress.isEmpty()) {
        const QHostAddress adminAddress(options.adminAddress);
        if (adminAddress.isNull() || !admin->listen(adminAddress, options.adminPort, &error)) {
            err << "wispline-server: cannot answer admin requests on " << options.adminAddress
                << ':' << options.adminPort << ": "
                << (adminAddress.isNull() ? QStringLiteral("not an address") : error) << Qt::endl;
            return 1;
        }
        out << "admin on " << admin->address().toString() << ':' << admin->port() << Qt::endl;
    }
    ServiceNotifier manager;
    manager.ready(
        QStringLiteral("listening on %1:%2").arg(server->address().toString()).arg(server->port()));

    int exitCode = 0;
    // Unless an operator announces the end, every end resets the users: their clients
    // reconnect, to this server started again (systemd's restart, an upgrade) or to another
    // node. An announced end tells them, and their programs end.
    const auto leave = [&](MessageServer::Ending ending, const QString& text) {
        if (server->isShuttingDown())
            return;
        manager.stopping();
        server->shutDown(ending, toWire(text));
        QTimer::singleShot(kShutdownGraceMs, &app, [&] {
            logLine(QStringLiteral("clients still connected after the grace period; leaving"));
            app.quit();
        });
    };
    AnnouncedStop announcements(store);
    QObject::connect(&announcements, &AnnouncedStop::announced, &app, [&](const QString& text) {
        logLine(QStringLiteral("the operator announced the end of the service"));
        leave(MessageServer::Ending::Announce, text);
    });
    announcements.start();
    bool hungUp = false;
    QObject::connect(&watcher, &SignalWatcher::received, &app, [&](int number) {
        logLine(QStringLiteral("signal %1 received").arg(number));
        if (number == SIGUSR1) {
            // The operator's word holds for every server on the database: recorded for the
            // others, acted on here at once.
            if (!announcements.announce(kDefaultStopText))
                logLine(QStringLiteral("the other servers on the database could not be told of "
                                       "the announced end: %1")
                            .arg(store.lastError()));
            leave(MessageServer::Ending::Announce, kDefaultStopText);
            return;
        }
        if (number == SIGHUP) {
            logLine(QStringLiteral("nothing can be reloaded: leaving with status 1 for a restart"));
            hungUp = true;
        }
        leave(MessageServer::Ending::Reset, {});
    });
    // Without a database the service manager's restart is the way back: the status says so.
    bool storeLost = false;
    QObject::connect(server.get(), &MessageServer::storeLost, &app, [&] {
        storeLost = true;
        leave(MessageServer::Ending::Reset, {});
    });
    QObject::connect(server.get(), &MessageServer::closed, &app, &QCoreApplication::quit);
    exitCode = app.exec();
    if (storeLost || hungUp)
        exitCode = 1;
    // Nothing reaches the server from here on; what waits to be written is kept, in the
    // database or else in the spill file, before the process ends.
    QObject::disconnect(&watcher, nullptr, &app, nullptr);
    announcements.stop();
    const bool storeWorks = !storeLost && store.reachable();
    admin.reset();
    server.reset();
    keepLeftovers(store, node.get(), spillPath, path, storeWorks);
    logLine(QStringLiteral("stopped"));
    return exitCode;
}
