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
        QTest::addColumn<bool>("killed");
        QTest::newRow("stopped by SIGTERM") << false;
        QTest::newRow("killed outright") << true;
    }

    void nothingAcceptedIsLostAcrossARestart()
    {
        QFETCH(bool, killed);
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
        // A node that dies resets its clients, so they reconnect; only a decided end closes.
        WireClient watcher;
        QVERIFY(watcher.logOnAt(server.port(), "AMY", "amy-new") && watcher.sync());
        watcher.detach();
        QByteArray last;
        if (killed)
            server.kill();
        else
            server.signal(SIGTERM);
        QCOMPARE(watcher.readToEnd(&last), killed ? u"reset"_s : u"close"_s);
        QCOMPARE(last.contains("SHT~"), !killed);
        if (!killed)
            QCOMPARE(server.waitForExit(), 0);

        QVERIFY(server.start(database_));
        WireClient ben;
        QVERIFY(ben.logOnAt(server.port(), "BEN", "ben2"));
        QVERIFY(ben.take("OffL").value(1).startsWith("AMY <- kept for Ben ["_L1));

        WireClient amy;
        QVERIFY(amy.connectTo(server.port()));
        QCOMPARE(amy.logOn("AMY", amy1).value(0), u"Invalid"_s);
        const QStringList tooOld = amy.logOn("AMY", "amy-new", "1.0.9");
        QCOMPARE(tooOld.value(0), u"Version"_s);
        QVERIFY(tooOld.value(1).contains("1.1.0"_L1));
        QCOMPARE(amy.logOn("AMY", "amy-new").value(0), u"LIU"_s);
        amy.send("ALLMsgs~AMY1~amy-new~1.1.1");
        QVERIFY(amy.take("ALLM", "MSG").value(2).endsWith(" AMY -> BEN : kept for Ben"_L1));
        QCOMPARE(server.stop(), 0);
    }

    void shutdownTellsEveryClient_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }

    void shutdownTellsEveryClient()
    {
        QFETCH(int, signalNumber);
        QVERIFY(admin({{"--add-user", "AMY", "amy1", "1"}, {"--add-user", "BEN", "ben2", "2"}}));
        ServerProcess server;
        QVERIFY(server.start(database_));
        WireClient amy;
        WireClient ben;
        WireClient stranger; // connected, never logged on
        QVERIFY(amy.logOnAt(server.port(), "AMY", "amy1") &&
                ben.logOnAt(server.port(), "BEN", "ben2") && stranger.connectTo(server.port()));
        QVERIFY(amy.sync());
        amy.messages().clear();

        server.signal(signalNumber);
        for (WireClient* c : {&amy, &ben, &stranger}) {
            QCOMPARE(c->take("SHT").value(2), u"ExitEnd"_s);
            QVERIFY(c->waitForClose());
        }
        // Everyone left together: nobody is told of the others leaving one by one.
        QVERIFY(amy.received("LGO").isEmpty());
        QCOMPARE(server.waitForExit(), 0);
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
        QVERIFY(QFileInfo::exists(dir_->filePath(u"wispline-server/wispline-server.db"_s)));
        QCOMPARE(runAdmin(QString(), {"--list-users"}, {}, env).out, u"AMY 1\n"_s);
    }
};

QTEST_GUILESS_MAIN(TestServerLifecycle)
#include "tst_serverlifecycle.moc"
