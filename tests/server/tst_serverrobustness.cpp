// Bad input, run-together writes and dropped connections never stop the server or disturb
// anyone else's session.
#include "ServerHarness.h"

#include <memory>

using namespace wispline::server::test;

class TestServerRobustness : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void badInputIsIgnored_data();
    void badInputIsIgnored();
    void messagesRunTogetherInOneWrite();
    void messageSplitOverTwoWrites();
    void terminatorInTheTextCannotBreakTheRecipientsFraming();
    void abruptDisconnects_data();
    void abruptDisconnects();

private:
    bool aliceStillReachesBob(const QByteArray& tag);

    QTemporaryDir dir_;
    QString database_;
    ServerProcess server_;
    WireClient alice_;
    WireClient bob_;
};

void TestServerRobustness::initTestCase()
{
    QVERIFY(dir_.isValid());
    database_ = dir_.filePath(QStringLiteral("robust.db"));
    const QList<QStringList> users{
        {"ALICE", "alice1", "1"}, {"BOB", "bob2", "2"}, {"CAROL", "carol2", "2"}};
    for (const QStringList& u : users)
        QCOMPARE(runAdmin(database_, QStringList{QStringLiteral("--add-user")} + u).exitCode, 0);
    QVERIFY(server_.start(database_));
    QVERIFY(alice_.connectTo(server_.port()));
    QCOMPARE(alice_.logOn(QStringLiteral("ALICE"), QStringLiteral("alice1")).value(0),
             QStringLiteral("LIU"));
    QVERIFY(bob_.connectTo(server_.port()));
    QCOMPARE(bob_.logOn(QStringLiteral("BOB"), QStringLiteral("bob2")).value(0),
             QStringLiteral("LIU"));
}

void TestServerRobustness::cleanupTestCase()
{
    QCOMPARE(server_.stop(), 0);
}

void TestServerRobustness::init()
{
    QVERIFY(alice_.sync());
    QVERIFY(bob_.sync());
    alice_.messages().clear();
    bob_.messages().clear();
}

bool TestServerRobustness::aliceStillReachesBob(const QByteArray& tag)
{
    alice_.send("SND~ALICE1~ping " + tag + "~BOB2~NOONE");
    const QStringList got = bob_.take(QStringLiteral("SND"));
    return server_.running() && got.value(1).startsWith(QLatin1String("ALICE <- ping ") + tag);
}

void TestServerRobustness::badInputIsIgnored_data()
{
    QTest::addColumn<bool>("loggedOn");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("answer");  // what the bad input itself draws, if anything
    QTest::addColumn<bool>("unfinished"); // the input waits for fields that never come

    QByteArray binary;
    for (int i = 0; i < 4096; ++i)
        binary.append(char(0x80 + (i * 37) % 128));
    binary[100] = '\0';
    binary[200] = '~';

    QTest::newRow("unknown command") << false << QByteArray("HELLO~world") << "" << false;
    QTest::newRow("unknown command after log-on") << true << QByteArray("XYZ~1~2") << "" << false;
    QTest::newRow("too few fields") << true << QByteArray("SND~CAROL2~hi") << "" << true;
    QTest::newRow("too many fields")
        << true << QByteArray("SND~CAROL2~a~b~BOB2~NOONE~x") << "" << false;
    QTest::newRow("log-on with missing fields") << false << QByteArray("LIU~CAROL") << "" << true;
    QTest::newRow("log-on with empty fields")
        << false << QByteArray("LIU~~~~") << "Invalid" << false;
    QTest::newRow("garbage bytes") << false << binary << "" << false;
    QTest::newRow("garbage bytes after log-on") << true << binary << "" << false;
    QTest::newRow("terminators only") << true << QByteArray("````~~~~") << "" << false;
    QTest::newRow("oversized unfinished message")
        << true << QByteArray("SND~CAROL2~") + QByteArray(300 * 1024, 'x') << "" << false;
    QTest::newRow("send before log-on")
        << false << QByteArray("SND~ALICE1~spoof~BOB2~NOONE") << "" << false;
    QTest::newRow("log-out before log-on") << false << QByteArray("LOU~BOB2") << "" << false;
    QTest::newRow("password change before log-on")
        << false << QByteArray("CHPASS~BOB~2~x") << "" << false;
    QTest::newRow("bad recipient addresses")
        << true << QByteArray("SND~CAROL2~hi~,,7,BOB9,~NOONE") << "" << false;
}

void TestServerRobustness::badInputIsIgnored()
{
    QFETCH(bool, loggedOn);
    QFETCH(QByteArray, input);
    QFETCH(QString, answer);
    QFETCH(bool, unfinished);

    WireClient carol;
    QVERIFY(carol.connectTo(server_.port()));
    if (loggedOn)
        QCOMPARE(carol.logOn(QStringLiteral("CAROL"), QStringLiteral("carol2")).value(0),
                 QStringLiteral("LIU"));
    carol.send(input);
    if (!answer.isEmpty())
        QVERIFY(!carol.take(answer).isEmpty());

    if (unfinished) {
        // Whether the next write would end it depends on how the reads fall; leave it there.
        carol.socket().abort();
    } else if (loggedOn) {
        QVERIFY(carol.sync());
    } else {
        QCOMPARE(carol.logOn(QStringLiteral("CAROL"), QStringLiteral("carol2")).value(0),
                 QStringLiteral("LIU"));
    }
    QVERIFY(aliceStillReachesBob(QTest::currentDataTag()));
    QVERIFY(alice_.sync());
    QVERIFY(bob_.sync());
    // Nothing from the bad input reached anyone.
    QVERIFY(bob_.received(QStringLiteral("SND")).isEmpty());
    QVERIFY(alice_.received(QStringLiteral("SND")).isEmpty());
    QVERIFY(carol.received(QStringLiteral("SND")).isEmpty());
    for (const QStringList& gone : alice_.received(QStringLiteral("LGO")))
        QVERIFY(!gone.contains(QStringLiteral("BOB2")));
}

void TestServerRobustness::messagesRunTogetherInOneWrite()
{
    alice_.send("SND~ALICE1~one~BOB2~NOONESND~ALICE1~two HND~BOB2~L2AHND~ALICE1~1");
    QVERIFY(!alice_.take(QStringLiteral("HND")).isEmpty());
    QVERIFY(bob_.sync());
    const QList<QStringList> got = bob_.received(QStringLiteral("SND"));
    QCOMPARE(got.size(), 2);
    QVERIFY(got[0][1].startsWith(QLatin1String("ALICE <- one [")));
    QVERIFY(got[1][1].startsWith(QLatin1String("ALICE <- two HND [")));
}

void TestServerRobustness::messageSplitOverTwoWrites()
{
    alice_.send("SND~ALICE1~whole ");
    alice_.send("message~BOB2~NOONE");
    QVERIFY(bob_.take(QStringLiteral("SND"))
                .value(1)
                .startsWith(QLatin1String("ALICE <- whole message [")));
}

void TestServerRobustness::terminatorInTheTextCannotBreakTheRecipientsFraming()
{
    alice_.send("SND~ALICE1~a`OtLog~BOB2~NOONE");
    QVERIFY(alice_.sync());
    QVERIFY(bob_.sync());
    QCOMPARE(alice_.received(QStringLiteral("SND")).size(), 0);
    // "a`OtLog" is the text; "BOB2" and "NOONE" complete the message. What BOB gets is one
    // whole SND with no terminator inside.
    const QList<QStringList> got = bob_.received(QStringLiteral("SND"));
    QCOMPARE(got.size(), 1);
    QCOMPARE(got[0].size(), 3);
    QVERIFY(got[0][1].startsWith(QLatin1String("ALICE <- a'OtLog [")));
    QVERIFY(bob_.received(QStringLiteral("OtLog")).isEmpty());
}

void TestServerRobustness::abruptDisconnects_data()
{
    QTest::addColumn<bool>("loggedOn");
    QTest::addColumn<QByteArray>("unfinished");
    QTest::newRow("before sending anything") << false << QByteArray();
    QTest::newRow("in the middle of a log-on") << false << QByteArray("LIU~CAROL~car");
    QTest::newRow("logged on, idle") << true << QByteArray();
    QTest::newRow("logged on, in the middle of a message") << true << QByteArray("SND~CAROL2~hal");
}

void TestServerRobustness::abruptDisconnects()
{
    QFETCH(bool, loggedOn);
    QFETCH(QByteArray, unfinished);
    {
        WireClient carol;
        QVERIFY(carol.connectTo(server_.port()));
        if (loggedOn)
            QCOMPARE(carol.logOn(QStringLiteral("CAROL"), QStringLiteral("carol2")).value(0),
                     QStringLiteral("LIU"));
        if (!unfinished.isEmpty())
            carol.send(unfinished);
        carol.socket().abort();
    }
    if (loggedOn) {
        QCOMPARE(alice_.take(QStringLiteral("LGO")), QStringList({"LGO", "CAROL2", "ExitEnd"}));
        QCOMPARE(bob_.take(QStringLiteral("LGO")), QStringList({"LGO", "CAROL2", "ExitEnd"}));
        // Gone: a message to CAROL is now kept for her next log-on.
        alice_.send("SND~ALICE1~later~CAROL2~NOONE");
        WireClient again;
        QVERIFY(alice_.sync());
        QVERIFY(again.connectTo(server_.port()));
        QCOMPARE(again.logOn(QStringLiteral("CAROL"), QStringLiteral("carol2")).value(0),
                 QStringLiteral("LIU"));
        QVERIFY(again.take(QStringLiteral("OffL"))
                    .value(1)
                    .startsWith(QLatin1String("ALICE <- later")));
    }
    QVERIFY(aliceStillReachesBob(QTest::currentDataTag()));
}

QTEST_GUILESS_MAIN(TestServerRobustness)
#include "tst_serverrobustness.moc"
