// Start, stop, restart and the admin commands of the server process.
#include "ServerHarness.h"

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
    bool admin(const QList<QStringList>& commands)
    {
        return std::all_of(commands.cbegin(), commands.cend(), [this](const QStringList& c) {
            return runAdmin(database_, c).exitCode == 0;
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
        QVERIFY(admin({{"--add-user", "amy", "amy1", "1"},
                       {"--add-user", "BEN", "ben2", "2"},
                       {"--min-version", "1.1.0"}}));
        ServerProcess server;
        // Deliveries to connected users wait a minute to be saved, so only what must be saved at
        // once survives the kill.
        QVERIFY(server.start(database_, {"--commit-delay", "60000"}));
        {
            WireClient amy;
            QVERIFY(amy.logOnAt(server.port(), "AMY", "amy1"));
            amy.send("SND~AMY1~kept for Ben~BEN2~NOONE");
            amy.send("CHPASS~AMY~1~amy-new");
            // The answer means both requests were handled, so both are on disk.
            QCOMPARE(amy.take("CHPASS").value(2), u"S"_s);
        }
        if (killed)
            server.kill();
        else
            QCOMPARE(server.stop(), 0);

        QVERIFY(server.start(database_));
        WireClient ben;
        QVERIFY(ben.logOnAt(server.port(), "BEN", "ben2"));
        QVERIFY(ben.take("OffL").value(1).startsWith("AMY <- kept for Ben ["_L1));

        WireClient amy;
        QVERIFY(amy.connectTo(server.port()));
        QCOMPARE(amy.logOn("AMY", "amy1").value(0), u"Invalid"_s);
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
        QVERIFY(amy.logOnAt(server.port(), "AMY", "amy1"));
        QVERIFY(ben.logOnAt(server.port(), "BEN", "ben2"));
        QVERIFY(stranger.connectTo(server.port()));
        QVERIFY(amy.sync());
        amy.messages().clear();

        server.signal(signalNumber);
        for (WireClient* c : {&amy, &ben, &stranger}) {
            const QStringList sht = c->take("SHT");
            QCOMPARE(sht.size(), 3);
            QVERIFY(!sht[1].isEmpty());
            QCOMPARE(sht[2], u"ExitEnd"_s);
            QVERIFY(c->waitForClose());
        }
        // Everyone left together: nobody is told of the others leaving one by one.
        QVERIFY(amy.received("LGO").isEmpty());
        QCOMPARE(server.waitForExit(), 0);
    }

    void adminCommands_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");

        QTest::newRow("add user") << QStringList{"--add-user", "new.user-1", "pw", "1"} << 0;
        QTest::newRow("add existing user") << QStringList{"--add-user", "Boss", "x", "2"} << 1;
        QTest::newRow("level out of range") << QStringList{"--add-user", "EVE", "eve", "4"} << 1;
        QTest::newRow("level not a number") << QStringList{"--add-user", "EVE", "eve", "two"} << 1;
        QTest::newRow("name with a space") << QStringList{"--add-user", "E VE", "eve", "1"} << 1;
        QTest::newRow("blank password") << QStringList{"--add-user", "EVE", " ", "1"} << 1;
        QTest::newRow("supervisor for level 3")
            << QStringList{"--add-user", "EVE", "e", "3", "BOSS"} << 0;
        QTest::newRow("supervisor is not level 2")
            << QStringList{"--add-user", "EVE", "e", "3", "WORKER"} << 1;
        QTest::newRow("supervisor for level 1")
            << QStringList{"--add-user", "EVE", "e", "1", "BOSS"} << 1;
        QTest::newRow("unknown supervisor")
            << QStringList{"--add-user", "EVE", "e", "3", "NOBODY"} << 1;
        QTest::newRow("set password") << QStringList{"--set-password", "worker", "again"} << 0;
        QTest::newRow("set password of nobody")
            << QStringList{"--set-password", "NOBODY", "x"} << 1;
        QTest::newRow("set level with supervisor")
            << QStringList{"--set-level", "WORKER", "3", "BOSS"} << 0;
        QTest::newRow("own supervisor") << QStringList{"--set-level", "BOSS", "3", "BOSS"} << 1;
        QTest::newRow("set level of nobody") << QStringList{"--set-level", "NOBODY", "1"} << 1;
        QTest::newRow("minimum version") << QStringList{"--min-version", "2.10.3"} << 0;
        QTest::newRow("minimum version unreadable") << QStringList{"--min-version", "2.x"} << 1;
    }

    void adminCommands()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QVERIFY(admin({{"--add-user", "BOSS", "boss2", "2"}, {"--add-user", "WORKER", "w1", "1"}}));
        const AdminResult r = runAdmin(database_, arguments);
        QVERIFY2(r.exitCode == exitCode, qPrintable(r.out + r.err));
        QCOMPARE(r.err.isEmpty(), exitCode == 0);
    }

    void accountsAreListed()
    {
        QVERIFY(admin({{"--add-user", "zed", "z", "1"},
                       {"--add-user", "BOSS", "b", "2"},
                       {"--add-user", "ANN", "a", "1"},
                       {"--add-user", "W", "w", "1"},
                       {"--set-level", "W", "3", "boss"},
                       {"--set-level", "ZED", "2"}}));
        const AdminResult r = runAdmin(database_, {"--list-users"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.out, u"ANN 1\nBOSS 2\nZED 2\nW 3 BOSS\n"_s);
    }

    void demoAccountsServeAtOnce()
    {
        ServerProcess server;
        QVERIFY(server.start(database_, {"--demo"}));
        QVERIFY(server.output().contains("demo account DAVE password dave3 level 3"_L1));
        WireClient dave;
        QVERIFY(dave.connectTo(server.port()));
        QCOMPARE(dave.logOn("DAVE", "dave3"), QStringList({"LIU", "DAVE", "3", "ExitEnd"}));
        QCOMPARE(server.stop(), 0);

        // A second demo start leaves the accounts as they are.
        QVERIFY(server.start(database_, {"--demo"}));
        QVERIFY(server.output().contains("already present"_L1));
        QCOMPARE(server.stop(), 0);
    }

    void defaultDatabaseIsInTheUserDataFolder()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_DATA_HOME"_s, dir_->path());
        QCOMPARE(runAdmin(QString(), {"--add-user", "AMY", "a", "1"}, env).exitCode, 0);
        QVERIFY(QFileInfo::exists(dir_->filePath(u"wispline-server/wispline-server.db"_s)));
        QCOMPARE(runAdmin(QString(), {"--list-users"}, env).out, u"AMY 1\n"_s);
    }

    void badCommandLines_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("unknown option") << QStringList{"--colour", "red"};
        QTest::newRow("port out of range") << QStringList{"--port", "70000"};
        QTest::newRow("port not a number") << QStringList{"--port", "http"};
        QTest::newRow("admin command short of values") << QStringList{"--add-user", "AMY", "a"};
        QTest::newRow("two admin commands")
            << QStringList{"--list-users", "--min-version", "1.0.0"};
        QTest::newRow("demo with an admin command") << QStringList{"--demo", "--list-users"};
    }

    void badCommandLines()
    {
        QFETCH(QStringList, arguments);
        const AdminResult r = runAdmin(database_, arguments);
        QCOMPARE(r.exitCode, 2);
        QVERIFY(r.err.contains("Usage:"_L1));
        QVERIFY(!QFileInfo::exists(database_));
    }
};

QTEST_GUILESS_MAIN(TestServerLifecycle)
#include "tst_serverlifecycle.moc"
