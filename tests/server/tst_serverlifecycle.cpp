// Start, stop, restart and the admin commands of the server process.
#include "ServerHarness.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <algorithm>
#include <memory>

using namespace wispline::server::test;
using namespace Qt::StringLiterals;

class TestServerLifecycle : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> dir_;
    QString database_;

    // Runs each admin command against the test's database; true when all of them succeeded.
    // "--add-user" takes name, password, level and supervisor, as addUser() does.
    bool admin(const QList<QStringList>& commands)
    {
        return std::all_of(commands.cbegin(), commands.cend(), [this](const QStringList& c) {
            return (c.first() == "--add-user"_L1 ? addUser(database_, c.mid(1))
                                                 : runAdmin(database_, c))
                       .exitCode == 0;
        });
    }

private slots:
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        QVERIFY(dir_->isValid());
        database_ = dir_->filePath(u"life.db"_s);
    }

    void nothingAcceptedIsLostAcrossARestart_data()
    {
        QTest::addColumn<QString>("ending");
        // A stop is a restart to the clients, as a kill is: reset, they reconnect. Only the
        // operator's announcement closes in order, after telling them; a server started after
        // it serves as usual.
        QTest::newRow("stopped by SIGTERM: reset") << u"SIGTERM"_s;
        QTest::newRow("killed outright: reset") << u"SIGKILL"_s;
        QTest::newRow("announced: told, then closed") << u"announced"_s;
    }

    void nothingAcceptedIsLostAcrossARestart()
    {
        QFETCH(QString, ending);
        const bool killed = ending == "SIGKILL"_L1;
        const bool announced = ending == "announced"_L1;
        QVERIFY(admin({{"--add-user", "amy", "first1", "1"},
                       {"--add-user", "BEN", "ben2", "2"},
                       {"--min-version", "1.1.0"}}));
        // Passwords are read from standard input, in UTF-8, and stored in the wire's code page.
        QCOMPARE(runAdmin(database_, {"--set-password", "AMY"}, "Zweit\xc3\xa9s 2\n").exitCode, 0);
        const QString amy1 = QString::fromUtf8("Zweit\xc3\xa9s 2");
        ServerProcess server;
        // Deliveries to connected users wait a minute to be saved, so only what must be saved at
        // once survives the kill.
        QVERIFY(server.start(database_, {"--commit-delay", "60000"}));
        {
            WireClient amy;
            QVERIFY(amy.logOnAt(server.port(), "AMY", amy1));
            amy.send("SND~AMY1~kept for Ben~BEN2~NOONE");
            amy.send("CHPASS~AMY~1~amy-new");
            // The answer means both requests were handled, so both are on disk.
            QCOMPARE(amy.take("CHPASS").value(2), u"S"_s);
        }
        WireClient watcher;
        QVERIFY(watcher.logOnAt(server.port(), "AMY", "amy-new") && watcher.sync());
        watcher.detach();
        QByteArray last;
        if (killed)
            server.kill();
        else if (announced)
            QCOMPARE(runAdmin(database_, {"--announce-shutdown"}).exitCode, 0);
        else
            server.signal(SIGTERM);
        QCOMPARE(watcher.readToEnd(&last), announced ? u"close"_s : u"reset"_s);
        QCOMPARE(last.contains("SHT~Server is shutting down.~ExitEnd`"), announced);
        if (!killed)
            QCOMPARE(server.waitForExit(), 0);

        QVERIFY(server.start(database_));
        WireClient ben;
        QVERIFY(ben.logOnAt(server.port(), "BEN", "ben2"));
        QVERIFY(ben.take("OffL").value(1).startsWith("AMY <- kept for Ben ["_L1));

        WireClient amy;
        QVERIFY(amy.connectTo(server.port()));
        QCOMPARE(amy.logOn("AMY", amy1).value(0), u"Invalid"_s);
        // Just below the minimum with the right password: refused, and nobody hears of a
        // log-on; the minimum itself logs on, on the same connection.
        const QStringList tooOld = amy.logOn("AMY", "amy-new", "1.0.9");
        QCOMPARE(tooOld.value(0), u"Version"_s);
        QVERIFY(tooOld.value(1).contains("1.1.0"_L1));
        QVERIFY(ben.sync());
        for (const QStringList& m : ben.received("USRS"))
            QVERIFY(!m.contains("AMY1"_L1));
        QCOMPARE(amy.logOn("AMY", "amy-new", "1.1.0").value(0), u"LIU"_s);
        QVERIFY(!ben.take("USRS", "AMY1").isEmpty());
        amy.send("ALLMsgs~AMY1~amy-new~1.1.1");
        QVERIFY(amy.take("ALLM", "MSG").value(2).endsWith(" AMY -> BEN : kept for Ben"_L1));
        QCOMPARE(server.stop(), 0);
    }

    // A password that passed the full check is kept as a fast verifier in the database, under
    // the server key beside it: after a restart the same log-on needs no key derivation. A new
    // password (set by the admin or by the user), a new level, another key or verifiers turned
    // off take the full check again, and an old password is refused.
    void aReLogOnAfterARestartTakesTheVerifier_data()
    {
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<QString>("password"); // AMY's afterwards
        QTest::addColumn<int>("fromVerifier"); // checks of the re-log-ons
        QTest::addColumn<int>("full");
        QTest::newRow("nothing: from the verifier") << ""
                                                    << "amy1" << 1 << 0;
        QTest::newRow("the admin sets a password: the old refused") << "set-password"
                                                                    << "amy-admin" << 0 << 2;
        QTest::newRow("the user changes it: the old refused, the new from its verifier")
            << "CHPASS"
            << "amy-new" << 1 << 1;
        QTest::newRow("the admin sets the level") << "set-level"
                                                  << "amy1" << 0 << 1;
        QTest::newRow("another server key") << "new key"
                                            << "amy1" << 0 << 1;
        QTest::newRow("verifiers turned off") << "--verifier-days"
                                              << "amy1" << 0 << 1;
        QTest::newRow("a key others may read: no start") << "open key"
                                                         << "" << 0 << 0;
    }

    void aReLogOnAfterARestartTakesTheVerifier()
    {
        QFETCH(QString, meanwhile);
        QFETCH(QString, password);
        QFETCH(int, fromVerifier);
        QFETCH(int, full);
        QVERIFY(admin({{"--add-user", "AMY", "amy1", "1"}}));
        ServerProcess server;
        QStringList options{"--admin", "127.0.0.1:0"};
        QVERIFY(server.start(database_, options, true));
        const QString key = dir_->filePath(u"verifier.key"_s);
        QCOMPARE(QFileInfo(key).permissions() & ~(QFile::ReadUser | QFile::WriteUser),
                 QFile::ReadOwner | QFile::WriteOwner);
        {
            WireClient amy;
            QVERIFY(amy.logOnAt(server.port(), "AMY", "amy1"));
            if (meanwhile == "CHPASS"_L1) {
                amy.send("CHPASS~AMY~1~amy-new");
                QCOMPARE(amy.take("CHPASS").value(2), u"S"_s);
            }
        }
        QCOMPARE(server.stop(), 0);
        if (meanwhile == "set-password"_L1)
            QCOMPARE(runAdmin(database_, {"--set-password", "AMY"}, "amy-admin\n").exitCode, 0);
        else if (meanwhile == "set-level"_L1)
            QVERIFY(admin({{"--set-level", "AMY", "2"}}));
        else if (meanwhile == "new key"_L1)
            QVERIFY(QFile::remove(key));
        else if (meanwhile == "--verifier-days"_L1)
            options += {meanwhile, "0"};
        else if (meanwhile == "open key"_L1)
            QVERIFY(QFile::setPermissions(key,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
        if (password.isEmpty()) {
            QVERIFY(!server.start(database_, options, true));
            QVERIFY2(server.output().contains("can be read by others than its owner"_L1),
                     qPrintable(server.output()));
            return;
        }

        QVERIFY(server.start(database_, options, true));
        WireClient amy;
        QVERIFY(amy.connectTo(server.port()));
        if (password != "amy1"_L1)
            QCOMPARE(amy.logOn("AMY", "amy1").value(0), u"Invalid"_s);
        QCOMPARE(amy.logOn("AMY", password).value(0), u"LIU"_s);
        QVERIFY(waitFor([&] { return server.adminPort() != 0; }));
        const QByteArray metrics = HttpRequest(server.adminPort(), "/metrics").body();
        for (const auto& [kind, count] : {std::pair("verifier", fromVerifier), {"full", full}})
            QVERIFY2(metrics.contains(QByteArray("wispline_password_checks_total{kind=\"") + kind +
                                      "\"} " + QByteArray::number(count) + '\n'),
                     metrics.constData());
        QCOMPARE(server.output().contains("another server key"_L1), meanwhile == "new key"_L1);
        QCOMPARE(server.stop(), 0);
    }

    void everyClientLearnsOfTheEnd_data()
    {
        QTest::addColumn<int>("signalNumber"); // 0: --announce-shutdown
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("told"); // the SHT text; empty: reset, not told
        // Even the only server's stop is a restart to the clients (systemctl restart, an
        // upgrade): reset, they reconnect, nobody's program ends.
        QTest::newRow("SIGTERM: reset") << int(SIGTERM) << 0 << QString();
        QTest::newRow("SIGINT: reset") << int(SIGINT) << 0 << QString();
        // Nothing is reloaded: the service manager must see a failure, and restart it.
        QTest::newRow("SIGHUP: reset, status 1") << int(SIGHUP) << 1 << QString();
        // The operator's announced end: every client is told, then closed in order.
        QTest::newRow("SIGUSR1: announced in the default words")
            << int(SIGUSR1) << 0 << u"Server is shutting down."_s;
        QTest::newRow("--announce-shutdown TEXT: announced in its words")
            << 0 << 0 << u"Closed until 14:00, sorry"_s;
    }

    void everyClientLearnsOfTheEnd()
    {
        QFETCH(int, signalNumber);
        QFETCH(int, exitCode);
        QFETCH(QString, told);
        QVERIFY(admin({{"--add-user", "AMY", "amy1", "1"}, {"--add-user", "BEN", "ben2", "2"}}));
        ServerProcess server;
        QVERIFY(server.start(database_));
        WireClient amy;
        WireClient ben;
        WireClient stranger; // connected, never logged on
        QVERIFY(amy.logOnAt(server.port(), "AMY", "amy1") &&
                ben.logOnAt(server.port(), "BEN", "ben2") && stranger.connectTo(server.port()));
        QVERIFY(amy.sync() && ben.sync());
        for (WireClient* c : {&amy, &ben, &stranger})
            c->detach();
        if (signalNumber != 0)
            server.signal(signalNumber);
        else
            QCOMPARE(runAdmin(database_, {"--announce-shutdown", told}).exitCode, 0);
        for (WireClient* c : {&amy, &ben, &stranger}) {
            QByteArray last;
            QCOMPARE(c->readToEnd(&last), told.isEmpty() ? u"reset"_s : u"close"_s);
            // Told alone: everyone left together, nobody is told of the others leaving.
            QCOMPARE(last, told.isEmpty() ? QByteArray() : "SHT~" + told.toLatin1() + "~ExitEnd`");
        }
        QCOMPARE(server.waitForExit(), exitCode);
    }

    void adminCommands_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output"); // a part of it, or of the errors
        const auto row = [](const char* tag, const QStringList& arguments, const char* input,
                            int exitCode, const char* output = "") {
            QTest::newRow(tag) << arguments << QByteArray(input) << exitCode << QString(output);
        };
        row("add user", {"--add-user", "new.user-1", "1"}, "pw\n", 0);
        row("password without a line end", {"--add-user", "new.user-1", "1"}, "pw", 0);
        row("no password", {"--add-user", "EVE", "1"}, "", 1);
        row("add existing user", {"--add-user", "Boss", "2"}, "x\n", 1);
        row("level out of range", {"--add-user", "EVE", "4"}, "eve\n", 1);
        row("name with a space", {"--add-user", "E VE", "1"}, "eve\n", 1);
        row("name of 32 characters, the longest", {"--add-user", QString(32, u'N'), "1"}, "n\n", 0);
        row("name of 33 characters", {"--add-user", QString(33, u'M'), "1"}, "m\n", 1);
        row("blank password", {"--add-user", "EVE", "1"}, " \n", 1);
        row("supervisor for level 3", {"--add-user", "EVE", "3", "BOSS"}, "e\n", 0);
        row("supervisor is not level 2", {"--add-user", "EVE", "3", "WORKER"}, "e\n", 1);
        row("unknown supervisor", {"--add-user", "EVE", "3", "NOBODY"}, "e\n", 1);
        row("set password", {"--set-password", "worker"}, "again\n", 0);
        row("set password of nobody", {"--set-password", "NOBODY"}, "x\n", 1);
        row("set level with supervisor", {"--set-level", "WORKER", "3", "BOSS"}, "", 0);
        row("own supervisor", {"--set-level", "BOSS", "3", "BOSS"}, "", 1);
        row("set level of nobody", {"--set-level", "NOBODY", "1"}, "", 1);
        row("minimum version", {"--min-version", "2.10.3"}, "", 0);
        row("minimum version unreadable", {"--min-version", "2.x"}, "", 1);
        row("help", {"--help"}, "", 0, "--kdf-iterations");
        row("version", {"--version"}, "", 0, "wispline-server 1.1.1\n");
        // By level, then by name; names stored in capitals.
        row("list users", {"--list-users"}, "", 0, "WORKER 1\nBOSS 2\nAIDE 3 BOSS\n");
        row("unknown option", {"--colour", "red"}, "", 2, "Usage:");
        row("port out of range", {"--port", "70000"}, "", 2, "Usage:");
        row("verifier days at the longest", {"--verifier-days", "365", "--list-users"}, "", 0);
        row("verifier days past the longest", {"--verifier-days", "366", "--list-users"}, "", 2,
            "Usage:");
        row("admin command short of values", {"--add-user", "AMY"}, "", 2, "Usage:");
        // Passwords come from standard input only, out of the process list.
        row("password given", {"--add-user", "AMY", "amy1", "1"}, "", 2, "Usage:");
        row("two admin commands", {"--list-users", "--min-version", "1"}, "", 2, "Usage:");
        row("demo with an admin command", {"--demo", "--list-users"}, "", 2, "Usage:");
        // Checked before any connection is tried: no database is needed for these.
        row("database address with an unknown parameter",
            {"--db", "postgresql://w@%2Frun%2Fnowhere/db?colour=red", "--list-users"}, "", 1,
            "\"colour\" is not one libpq knows");
        row("database address with a password parameter",
            {"--db", "postgresql://w@db.example.org/db?sslmode=verify-full&password=x",
             "--list-users"},
            "", 1, "a password does not belong in the address");
        row("announcement of 200 characters", {"--announce-shutdown", QString(200, u'x')}, "", 0,
            "announced: every server running on this database tells its users");
        row("announcement of 201 characters", {"--announce-shutdown", QString(201, u'x')}, "", 2,
            "Usage:");
        row("blank announcement", {"--announce-shutdown", " "}, "", 2, "Usage:");
        row("backup over a file", {"--backup", "/"}, "", 1, "File exists");
        row("backup with an admin command", {"--backup", "x", "--list-users"}, "", 2, "Usage:");
        row("admin listener without a port", {"--admin", "127.0.0.1"}, "", 2, "Usage:");
    }

    void adminCommands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, input);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QVERIFY(admin({{"--add-user", "WORKER", "w1", "1"},
                       {"--add-user", "BOSS", "boss2", "2"},
                       {"--add-user", "aide", "a3", "3", "boss"}}));
        const AdminResult r = runAdmin(database_, arguments, input);
        QVERIFY2(r.exitCode == exitCode, qPrintable(r.out + r.err));
        QCOMPARE(r.err.isEmpty(), exitCode == 0);
        QVERIFY2((r.out + r.err).contains(output), qPrintable(r.out + r.err));
    }

    // A file from an older server: an account from before key derivation logs on with its
    // password, which is then stored again the new way (a wrong one still fails); the offline
    // queue, whose ids were reused once its newest rows went, moves to one that never does.
    void aFileFromAnOlderServerIsUpgraded()
    {
        const QByteArray salt = "0123456789abcdef";
        const QByteArray oldHash =
            QCryptographicHash::hash(salt + "amy1", QCryptographicHash::Sha256);
        sqlRow(database_,
               u"CREATE TABLE accounts(name TEXT PRIMARY KEY, level INTEGER NOT NULL, "
               "supervisor TEXT NOT NULL DEFAULT '', salt BLOB NOT NULL, hash BLOB NOT NULL)"_s);
        sqlRow(database_, u"INSERT INTO accounts VALUES('AMY', 1, '', ?, ?)"_s, {salt, oldHash});
        sqlRow(database_, u"CREATE TABLE offline(id INTEGER PRIMARY KEY, recipient TEXT NOT NULL, "
                          "text TEXT NOT NULL, created TEXT)"_s);
        sqlRow(database_, u"INSERT INTO offline VALUES(7, 'AMY', 'BEN <- kept [10:00:00]', '')"_s);
        ServerProcess server;
        QVERIFY(server.start(database_));
        WireClient amy;
        QVERIFY(amy.connectTo(server.port()));
        QCOMPARE(amy.logOn("AMY", "amy2").value(0), u"Invalid"_s);
        QCOMPARE(amy.logOn("AMY", "amy1").value(0), u"LIU"_s);
        QCOMPARE(amy.take("OffL").value(1), u"BEN <- kept [10:00:00]"_s);
        QVERIFY(sqlRow(database_, u"SELECT sql FROM sqlite_master WHERE name = 'offline'"_s)
                    .value(0)
                    .toString()
                    .contains("AUTOINCREMENT"_L1));
        QCOMPARE(sqlRow(database_, u"SELECT iterations FROM accounts WHERE hash != ?"_s, {oldHash}),
                 QVariantList{1000});
        WireClient again;
        QVERIFY(again.logOnAt(server.port(), "AMY", "amy1"));
        QCOMPARE(server.stop(), 0);
    }

    void demoAccountsServeAtOnce()
    {
        ServerProcess server;
        QVERIFY(server.start(database_, {"--demo"}));
        QVERIFY(server.output().contains("demo account DAVE password dave3 level 3"_L1));
        WireClient dave;
        QVERIFY(dave.logOnAt(server.port(), "DAVE", "dave3"));
        QCOMPARE(server.stop(), 0);

        // A second demo start leaves the accounts as they are.
        QVERIFY(server.start(database_, {"--demo"}));
        QCOMPARE(server.stop(), 0);
    }

    void defaultDatabaseIsInTheUserDataFolder()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_DATA_HOME"_s, dir_->path());
        QCOMPARE(runAdmin(QString(), {"--add-user", "AMY", "1"}, "a\n", env).exitCode, 0);
        // Password hashes and messages: for the owner's eyes only, whatever the umask.
        const auto owner = QFile::ReadUser | QFile::WriteUser; // the low bits: owner, group, others
        QCOMPARE(QFile::permissions(dir_->filePath(u"wispline-server"_s)) & 0x0777,
                 owner | QFile::ExeUser);
        QCOMPARE(QFile::permissions(dir_->filePath(u"wispline-server/wispline-server.db"_s)) &
                     0x0777,
                 owner);
        QCOMPARE(runAdmin(QString(), {"--list-users"}, {}, env).out, u"AMY 1\n"_s);
    }

    // The admin listener and the service manager's notifications, against a datagram socket
    // standing in for systemd's: ready once listening, metrics that move as messages flow, a
    // stopped routing loop that answers no health check and feeds no watchdog, and not ready
    // once the shutdown has begun.
    void adminListenerAndServiceManager()
    {
        QVERIFY(admin({{"--add-user", "AMY", "amy1", "1"},
                       {"--add-user", "BEN", "ben2", "2"},
                       {"--add-user", "CAL", "cal2", "2"}}));
        NotifySocket manager(dir_->filePath(u"notify"_s));
        qputenv("NOTIFY_SOCKET", QFile::encodeName(manager.path()));
        qputenv("WATCHDOG_USEC", "100000");
        ServerProcess server;
        const bool started = server.start(database_, {"--admin", "127.0.0.1:0"});
        qunsetenv("NOTIFY_SOCKET");
        qunsetenv("WATCHDOG_USEC");
        QVERIFY(started && manager.take("READY=1") && manager.take("WATCHDOG=1"));
        const quint16 port = server.adminPort();
        QCOMPARE(HttpRequest(port, "/readyz").status(), 200);

        WireClient amy;
        WireClient ben;
        QVERIFY(amy.logOnAt(server.port(), "AMY", "amy1") &&
                ben.logOnAt(server.port(), "BEN", "ben2"));
        amy.send("SND~AMY1~for Ben~BEN2~NOONE");
        amy.send("SND~AMY1~for Cal~CAL2~NOONE");
        QVERIFY(!ben.take("SND").isEmpty());
        QByteArray metrics;
        QVERIFY(waitFor([&] {
            metrics = HttpRequest(port, "/metrics").body();
            return metrics.contains("\nwispline_messages_routed_total 2\n");
        }));
        for (const char* line :
             {"wispline_logons_total{result=\"accepted\"} 2",
              "wispline_connections{state=\"logged_on\"} 2",
              "wispline_messages_queued_offline_total 1", "wispline_store_commit_seconds_bucket"})
            QVERIFY2(metrics.contains(line), line);
        QVERIFY(!metrics.contains("wispline_store_commit_seconds_count 0\n"));
        QVERIFY(!metrics.contains("AMY") && !metrics.contains("127.0.0.1"));

        server.signal(SIGSTOP);
        QVERIFY(server.waitUntilStopped());
        manager.clear(); // the watchdog is fed again only once the loop turns
        HttpRequest health(port, "/healthz");
        QVERIFY(waitFor([&] { return health.sent(); }));
        QVERIFY(!health.answered());
        server.signal(SIGCONT);
        QCOMPARE(health.status(), 200);
        QVERIFY(manager.take("WATCHDOG=1"));

        // The stop request is pending when the readiness request comes in: it is taken first,
        // so the answer is never "ready": "shutting down", or none when the server is gone
        // first (a stop with nothing in flight takes milliseconds).
        server.signal(SIGSTOP);
        QVERIFY(server.waitUntilStopped());
        server.signal(SIGTERM);
        HttpRequest ready(port, "/readyz");
        QVERIFY(waitFor([&] { return ready.sent(); }));
        server.signal(SIGCONT);
        const int status = ready.status();
        QVERIFY2(status == 503 || status == 0, qPrintable(QString::number(status)));
        if (status == 503)
            QCOMPARE(ready.body(), "shutting down\n");
        QVERIFY(manager.take("STOPPING=1"));
        QCOMPARE(server.waitForExit(), 0);
    }

    // A copy taken while messages flow opens cleanly, and a server on it has every account and
    // every message kept for an offline user that was committed before the copy began.
    void backupWhileMessagesFlow()
    {
        QVERIFY(admin({{"--add-user", "AMY", "amy1", "1"}, {"--add-user", "BEN", "ben2", "2"}}));
        ServerProcess server;
        QVERIFY(server.start(database_, kNoBudgets));
        WireClient amy;
        QVERIFY(amy.logOnAt(server.port(), "AMY", "amy1"));
        int sent = 0;
        bool answered = true;
        // Up to about 5,000 a second, to Ben, who is not connected: 50 at a time, each batch
        // once the server has read the one before. Sent faster than a loaded machine stores
        // them, they would pile up unread, and the stop would wait for all of them.
        QTimer flow;
        QObject::connect(&flow, &QTimer::timeout, [&] {
            answered = answered || amy.messages().removeIf([](const QStringList& m) {
                return m.value(0) == "HND"_L1;
            }) > 0;
            if (!answered)
                return;
            for (int i = 0; i < 50; ++i)
                amy.send("SND~AMY1~m" + QByteArray::number(sent++) + "~BEN2~NOONE");
            amy.send("HND~X1~1");
            answered = false;
        });
        flow.start(10);
        const QString count = u"SELECT COUNT(*), MAX(id) FROM offline"_s;
        QVERIFY(waitFor([&] { return sqlRow(database_, count).value(0).toInt() >= 500; }));
        const QVariantList before = sqlRow(database_, count);
        const QString copy = dir_->filePath(u"copy.db"_s);
        QProcess backup;
        backup.start(WISPLINE_SERVER_PATH ""_L1, {"--db", database_, "--backup", copy});
        QVERIFY(waitFor([&] { return backup.state() == QProcess::NotRunning; }));
        flow.stop();
        QCOMPARE(exitCodeOf(backup), 0);
        // It flowed on while the copy was made.
        QVERIFY(sqlRow(database_, count).value(0).toInt() > before[0].toInt());
        QCOMPARE(QFile::permissions(copy) & 0x0777, QFile::ReadUser | QFile::WriteUser);
        QCOMPARE(sqlRow(copy, u"PRAGMA integrity_check"_s), QVariantList{u"ok"_s});
        QCOMPARE(sqlRow(copy, u"SELECT COUNT(*) FROM offline WHERE id <= ?"_s, {before[1]}),
                 QVariantList{before[0]});
        QCOMPARE(server.stop(), 0);

        QVERIFY(server.start(copy));
        WireClient ben;
        QVERIFY(ben.logOnAt(server.port(), "BEN", "ben2"));
        QVERIFY(ben.take("OffL").value(1).startsWith("AMY <- m0 ["_L1));
        QCOMPARE(server.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServerLifecycle)
#include "tst_serverlifecycle.moc"
