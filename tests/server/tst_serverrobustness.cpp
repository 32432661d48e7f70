// Bad input, run-together writes and dropped connections never stop the server or disturb
// anyone else's session.
#include "ServerHarness.h"

using namespace wispline::server::test;
using namespace Qt::StringLiterals;

class TestServerRobustness : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    ServerProcess server_;
    WireClient alice_;
    WireClient bob_;

    bool connectCarol(WireClient& carol, bool logOn)
    {
        return logOn ? carol.logOnAt(server_.port(), "CAROL", "carol2")
                     : carol.connectTo(server_.port());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        const QString database = dir_.filePath(u"robust.db"_s);
        for (const QStringList& u : QList<QStringList>{
                 {"ALICE", "alice1", "1"}, {"BOB", "bob2", "2"}, {"CAROL", "carol2", "2"}})
            QCOMPARE(runAdmin(database, QStringList{u"--add-user"_s} + u).exitCode, 0);
        QVERIFY(server_.start(database));
        QVERIFY(alice_.logOnAt(server_.port(), "ALICE", "alice1"));
        QVERIFY(bob_.logOnAt(server_.port(), "BOB", "bob2"));
    }

    void cleanupTestCase() { QCOMPARE(server_.stop(), 0); }

    void init()
    {
        QVERIFY(alice_.sync());
        QVERIFY(bob_.sync());
        alice_.messages().clear();
        bob_.messages().clear();
    }

    void badInputOrADroppedConnectionIsIgnored_data()
    {
        QTest::addColumn<bool>("loggedOn");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("answer"); // what the bad input itself draws, if anything
        QTest::addColumn<bool>("dropped");   // the connection is then cut

        QByteArray binary;
        for (int i = 0; i < 4096; ++i)
            binary.append(char(0x80 + (i * 37) % 128));
        binary[100] = '\0';
        binary[200] = '~';
        const auto row = [](const char* tag, bool loggedOn, const QByteArray& input,
                            const char* answer = "", bool dropped = false) {
            QTest::newRow(tag) << loggedOn << input << QString(answer) << dropped;
        };
        row("unknown command", false, "HELLO~world");
        row("unknown command after log-on", true, "XYZ~1~2");
        // An unfinished message waits for fields; whether the next write would end it depends
        // on how the reads fall, so these connections are cut instead.
        row("too few fields, then dropped", true, "SND~CAROL2~hi", "", true);
        row("too many fields", true, "SND~CAROL2~a~b~BOB2~NOONE~x");
        row("log-on with missing fields, then dropped", false, "LIU~CAROL", "", true);
        row("log-on with empty fields", false, "LIU~~~~", "Invalid");
        row("garbage bytes", false, binary);
        row("garbage bytes after log-on", true, binary);
        row("terminators only", true, "````~~~~");
        row("oversized unfinished message", true, "SND~CAROL2~" + QByteArray(300 * 1024, 'x'));
        row("send before log-on", false, "SND~ALICE1~spoof~BOB2~NOONE");
        row("log-out before log-on", false, "LOU~BOB2");
        row("password change before log-on", false, "CHPASS~BOB~2~x");
        row("bad recipient addresses", true, "SND~CAROL2~hi~,,7,BOB9,~NOONE");
        row("dropped before sending anything", false, "", "", true);
        row("dropped while logged on and idle", true, "", "", true);
    }

    void badInputOrADroppedConnectionIsIgnored()
    {
        QFETCH(bool, loggedOn);
        QFETCH(QByteArray, input);
        QFETCH(QString, answer);
        QFETCH(bool, dropped);

        WireClient carol;
        WireClient again;
        QVERIFY(connectCarol(carol, loggedOn));
        carol.send(input);
        if (!answer.isEmpty())
            QVERIFY(!carol.take(answer).isEmpty());

        if (dropped) {
            carol.socket().abort();
            if (loggedOn) {
                QCOMPARE(alice_.take("LGO"), QStringList({"LGO", "CAROL2", "ExitEnd"}));
                QCOMPARE(bob_.take("LGO"), QStringList({"LGO", "CAROL2", "ExitEnd"}));
                // Gone: a message to CAROL is now kept for her next log-on.
                alice_.send("SND~ALICE1~later~CAROL2~NOONE");
                QVERIFY(alice_.sync());
                QVERIFY(connectCarol(again, true));
                QVERIFY(again.take("OffL").value(1).startsWith("ALICE <- later"_L1));
            }
        } else if (loggedOn) {
            QVERIFY(carol.sync());
        } else {
            QCOMPARE(carol.logOn("CAROL", "carol2").value(0), u"LIU"_s);
        }
        const QLatin1String tag(QTest::currentDataTag());
        alice_.send(QByteArray("SND~ALICE1~ping ") + tag.latin1() + "~BOB2~NOONE");
        QVERIFY(bob_.take("SND").value(1).startsWith(u"ALICE <- ping "_s + tag));
        QVERIFY(server_.running());
        QVERIFY(alice_.sync());
        QVERIFY(bob_.sync());
        // Nothing from the bad input reached anyone.
        QVERIFY(bob_.received("SND").isEmpty());
        QVERIFY(alice_.received("SND").isEmpty());
        QVERIFY(carol.received("SND").isEmpty());
        for (const QStringList& gone : alice_.received("LGO"))
            QVERIFY(!gone.contains(u"BOB2"_s));

        // Leave no CAROL on, so that the next case hears only its own log-outs.
        if (!dropped || loggedOn) {
            (dropped ? again : carol).socket().disconnectFromHost();
            QCOMPARE(alice_.take("LGO", "CAROL2").size(), 3);
            QCOMPARE(bob_.take("LGO", "CAROL2").size(), 3);
        }
    }

    void framing_data()
    {
        QTest::addColumn<QByteArrayList>("writes");
        QTest::addColumn<int>("handshakes"); // answers ALICE draws besides her own sync
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("messages run together in one write")
            << QByteArrayList{"SND~ALICE1~one~BOB2~NOONESND~ALICE1~two HND~BOB2~L2AHND~ALICE1~1"}
            << 1 << QStringList{"one", "two HND"};
        QTest::newRow("message split over two writes")
            << QByteArrayList{"SND~ALICE1~whole ", "message~BOB2~NOONE"} << 0
            << QStringList{"whole message"};
        // The text is "a`OtLog": BOB gets it as one whole SND with no terminator inside.
        QTest::newRow("terminator in the text")
            << QByteArrayList{"SND~ALICE1~a`OtLog~BOB2~NOONE"} << 0 << QStringList{"a'OtLog"};
    }

    void framing()
    {
        QFETCH(QByteArrayList, writes);
        QFETCH(int, handshakes);
        QFETCH(QStringList, texts);
        for (const QByteArray& w : writes)
            alice_.send(w);
        for (int i = 0; i < handshakes; ++i)
            QVERIFY(!alice_.take("HND").isEmpty());
        QVERIFY(alice_.sync());
        QVERIFY(bob_.sync());

        QVERIFY(alice_.received("SND").isEmpty());
        QVERIFY(bob_.received("OtLog").isEmpty());
        const QList<QStringList> got = bob_.received("SND");
        QCOMPARE(got.size(), texts.size());
        for (qsizetype i = 0; i < got.size(); ++i) {
            QCOMPARE(got[i].size(), 3);
            QVERIFY2(got[i][1].startsWith("ALICE <- "_L1 + texts[i] + " ["_L1),
                     qPrintable(got[i][1]));
        }
    }
};

QTEST_GUILESS_MAIN(TestServerRobustness)
#include "tst_serverrobustness.moc"
