// Start, stop, restart and the admin commands of the server process.
#include "ServerHarness.h"

#include <QFileInfo>

using namespace wispline::server::test;

class TestServerLifecycle : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void nothingAcceptedIsLostAcrossARestart_data();
    void nothingAcceptedIsLostAcrossARestart();
    void shutdownTellsEveryClient_data();
    void shutdownTellsEveryClient();
    void adminCommands_data();
    void adminCommands();
    void accountsAreListed();
    void demoAccountsServeAtOnce();
    void defaultDatabaseIsInTheUserDataFolder();
    void badCommandLines_data();
    void badCommandLines();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString database_;
};

void TestServerLifecycle::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    database_ = dir_->filePath(QStringLiteral("life.db"));
}

void TestServerLifecycle::nothingAcceptedIsLostAcrossARestart_data()
{
    QTest::addColumn<bool>("killed");
    QTest::newRow("stopped by SIGTERM") << false;
    QTest::newRow("killed outright") << true;
}

void TestServerLifecycle::nothingAcceptedIsLostAcrossARestart()
{
    QFETCH(bool, killed);
    QCOMPARE(runAdmin(database_, {"--add-user", "amy", "amy1", "1"}).exitCode, 0);
    QCOMPARE(runAdmin(database_, {"--add-user", "BEN", "ben2", "2"}).exitCode, 0);
    QCOMPARE(runAdmin(database_, {"--min-version", "1.1.0"}).exitCode, 0);

    ServerProcess server;
    // Deliveries to connected users wait a minute to be saved, so only what must be saved at
    // once survives the kill.
    QVERIFY(server.start(database_, {"--commit-delay", "60000"}));
    {
        WireClient amy;
        QVERIFY(amy.connectTo(server.port()));
        QCOMPARE(amy.logOn("AMY", "amy1").value(0), QStringLiteral("LIU"));
        amy.send("SND~AMY1~kept for Ben~BEN2~NOONE");
        amy.send("CHPASS~AMY~1~amy-new");
        QCOMPARE(amy.take("CHPASS").value(2), QStringLiteral("S"));
    }
    // The reply above means both requests were handled, so both are on disk.
    if (killed)
        server.kill();
    else
        QCOMPARE(server.stop(), 0);

    QVERIFY(server.start(database_));
    WireClient ben;
    QVERIFY(ben.connectTo(server.port()));
    QCOMPARE(ben.logOn("BEN", "ben2").value(0), QStringLiteral("LIU"));
    QVERIFY(ben.take("OffL").value(1).startsWith(QLatin1String("AMY <- kept for Ben [")));

    WireClient amy;
    QVERIFY(amy.connectTo(server.port()));
    QCOMPARE(amy.logOn("AMY", "amy1").value(0), QStringLiteral("Invalid"));
    QCOMPARE(amy.logOn("AMY", "amy-new", "1.0.9").value(0), QStringLiteral("Version"));
    QCOMPARE(amy.logOn("AMY", "amy-new").value(0), QStringLiteral("LIU"));
    amy.send("ALLMsgs~AMY1~amy-new~1.1.1");
    QVERIFY(amy.take("ALLM", "MSG").value(2).endsWith(QLatin1String(" AMY -> BEN : kept for Ben")));
    QCOMPARE(server.stop(), 0);
}

void TestServerLifecycle::shutdownTellsEveryClient_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void TestServerLifecycle::shutdownTellsEveryClient()
{
    QFETCH(int, signalNumber);
    QCOMPARE(runAdmin(database_, {"--add-user", "AMY", "amy1", "1"}).exitCode, 0);
    QCOMPARE(runAdmin(database_, {"--add-user", "BEN", "ben2", "2"}).exitCode, 0);
    ServerProcess server;
    QVERIFY(server.start(database_));
    WireClient amy;
    WireClient ben;
    WireClient stranger; // connected, never logged on
    QVERIFY(amy.connectTo(server.port()));
    QVERIFY(ben.connectTo(server.port()));
    QVERIFY(stranger.connectTo(server.port()));
    QCOMPARE(amy.logOn("AMY", "amy1").value(0), QStringLiteral("LIU"));
    QCOMPARE(ben.logOn("BEN", "ben2").value(0), QStringLiteral("LIU"));
    QVERIFY(amy.sync());
    amy.messages().clear();

    server.signal(signalNumber);
    for (WireClient* c : {&amy, &ben, &stranger}) {
        const QStringList sht = c->take("SHT");
        QCOMPARE(sht.size(), 3);
        QVERIFY(!sht[1].isEmpty());
        QCOMPARE(sht[2], QStringLiteral("ExitEnd"));
        QVERIFY(c->waitForClose());
    }
    // Everyone left together: nobody is told of the others leaving one by one.
    QVERIFY(amy.received("LGO").isEmpty());
    QCOMPARE(server.waitForExit(), 0);
}

void TestServerLifecycle::adminCommands_data()
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
    QTest::newRow("set password of nobody") << QStringList{"--set-password", "NOBODY", "x"} << 1;
    QTest::newRow("set level with supervisor")
        << QStringList{"--set-level", "WORKER", "3", "BOSS"} << 0;
    QTest::newRow("own supervisor") << QStringList{"--set-level", "BOSS", "3", "BOSS"} << 1;
    QTest::newRow("set level of nobody") << QStringList{"--set-level", "NOBODY", "1"} << 1;
    QTest::newRow("minimum version") << QStringList{"--min-version", "2.10.3"} << 0;
    QTest::newRow("minimum version unreadable") << QStringList{"--min-version", "2.x"} << 1;
}

void TestServerLifecycle::adminCommands()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QCOMPARE(runAdmin(database_, {"--add-user", "BOSS", "boss2", "2"}).exitCode, 0);
    QCOMPARE(runAdmin(database_, {"--add-user", "WORKER", "worker1", "1"}).exitCode, 0);
    const AdminResult r = runAdmin(database_, arguments);
    QVERIFY2(r.exitCode == exitCode, qPrintable(r.out + r.err));
    QCOMPARE(r.err.isEmpty(), exitCode == 0);
}

void TestServerLifecycle::accountsAreListed()
{
    for (const QStringList& args :
         {QStringList{"--add-user", "zed", "z", "1"}, QStringList{"--add-user", "BOSS", "b", "2"},
          QStringList{"--add-user", "ANN", "a", "1"}, QStringList{"--add-user", "W", "w", "1"},
          QStringList{"--set-level", "W", "3", "boss"}, QStringList{"--set-level", "ZED", "2"}})
        QCOMPARE(runAdmin(database_, args).exitCode, 0);
    const AdminResult r = runAdmin(database_, {"--list-users"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, QStringLiteral("ANN 1\nBOSS 2\nZED 2\nW 3 BOSS\n"));
}

void TestServerLifecycle::demoAccountsServeAtOnce()
{
    ServerProcess server;
    QVERIFY(server.start(database_, {"--demo"}));
    QVERIFY(server.output().contains(QLatin1String("demo account DAVE password dave3 level 3")));
    WireClient dave;
    WireClient bob;
    WireClient alice;
    QVERIFY(dave.connectTo(server.port()) && bob.connectTo(server.port()) &&
            alice.connectTo(server.port()));
    QCOMPARE(dave.logOn("DAVE", "dave3").value(2), QStringLiteral("3"));
    QCOMPARE(bob.logOn("BOB", "bob2").value(2), QStringLiteral("2"));
    QCOMPARE(alice.logOn("ALICE", "alice1").value(2), QStringLiteral("1"));
    alice.send("SND~ALICE1~to Bob's team~BOB2~L2S");
    QVERIFY(!dave.take("SND").isEmpty());
    QVERIFY(!bob.take("SND").isEmpty());
    QCOMPARE(server.stop(), 0);

    // A second demo start leaves the accounts as they are.
    QVERIFY(server.start(database_, {"--demo"}));
    QVERIFY(server.output().contains(QLatin1String("already present")));
    QCOMPARE(server.stop(), 0);
}

void TestServerLifecycle::defaultDatabaseIsInTheUserDataFolder()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir_->path());
    QCOMPARE(runAdmin(QString(), {"--add-user", "AMY", "a", "1"}, env).exitCode, 0);
    QVERIFY(
        QFileInfo::exists(dir_->filePath(QStringLiteral("wispline-server/wispline-server.db"))));
    QCOMPARE(runAdmin(QString(), {"--list-users"}, env).out, QStringLiteral("AMY 1\n"));
}

void TestServerLifecycle::badCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList{"--colour", "red"};
    QTest::newRow("port out of range") << QStringList{"--port", "70000"};
    QTest::newRow("port not a number") << QStringList{"--port", "http"};
    QTest::newRow("admin command short of values") << QStringList{"--add-user", "AMY", "a"};
    QTest::newRow("two admin commands") << QStringList{"--list-users", "--min-version", "1.0.0"};
    QTest::newRow("demo with an admin command") << QStringList{"--demo", "--list-users"};
}

void TestServerLifecycle::badCommandLines()
{
    QFETCH(QStringList, arguments);
    const AdminResult r = runAdmin(database_, arguments);
    QCOMPARE(r.exitCode, 2);
    QVERIFY(r.err.contains(QLatin1String("Usage:")));
    QVERIFY(!QFileInfo::exists(database_));
}

QTEST_GUILESS_MAIN(TestServerLifecycle)
#include "tst_serverlifecycle.moc"
