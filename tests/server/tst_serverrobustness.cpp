// Bad input, run-together writes, dropped connections, large backlogs and password guessing
// never stop the server, lose what it accepted or disturb anyone else's session.
#include "ServerHarness.h"

using namespace wispline::server::test;
using namespace Qt::StringLiterals;

class TestServerRobustness : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    QString database_;
    ServerProcess server_; // its log is read by the tests
    WireClient alice_;
    WireClient bob_;

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        database_ = dir_.filePath(u"robust.db"_s);
        // Name, password and level of each account.
        for (const QString& u : u"ALICE alice1 1|BOB bob2 2|CAROL carol2 2|DORA dora2 2|EVE eve2 "
                                "2|FAY fay1 1|GUS gus2 2|HAL hal1 1|IVY ivy1 1"_s.split(u'|'))
            QCOMPARE(addUser(database_, u.split(u' ')).exitCode, 0);
        QVERIFY(server_.start(database_, {}, true));
        QVERIFY(alice_.logOnAt(server_.port(), "ALICE", "alice1"));
        QVERIFY(bob_.logOnAt(server_.port(), "BOB", "bob2"));
    }

    void cleanupTestCase() { QCOMPARE(server_.stop(), 0); }

    void init()
    {
        QVERIFY(alice_.sync() && bob_.sync());
        alice_.messages().clear();
        bob_.messages().clear();
    }

    // Bad input that the splitter lets through is ignored where the server reads it.
    void badInputIsIgnored_data()
    {
        QTest::addColumn<bool>("loggedOn");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QString>("answer"); // what the bad input itself draws, if anything

        QByteArray binary;
        for (int i = 0; i < 4096; ++i)
            binary.append(char(0x80 + (i * 37) % 128));
        binary[100] = '\0';
        binary[200] = '~';
        const auto row = [](const char* tag, bool loggedOn, const QByteArray& input,
                            const char* answer = "") {
            QTest::newRow(tag) << loggedOn << input << QString(answer);
        };
        row("unknown command after log-on", true, "XYZ~1~2");
        row("log-on with empty fields", false, "LIU~~~~", "Invalid");
        row("garbage bytes after log-on", true, binary);
        row("oversized unfinished message", true, "SND~CAROL2~" + QByteArray(300 * 1024, 'x'));
        // Every command before log-on meets one check; a send is the one that would harm.
        row("send before log-on", false, "SND~ALICE1~spoof~BOB2~NOONE");
        row("bad recipient addresses", true, "SND~CAROL2~hi~,,7,BOB9,~NOONE");
    }

    void badInputIsIgnored()
    {
        QFETCH(bool, loggedOn);
        QFETCH(QByteArray, input);
        QFETCH(QString, answer);
        WireClient carol;
        QVERIFY(loggedOn ? carol.logOnAt(server_.port(), "CAROL", "carol2")
                         : carol.connectTo(server_.port()));
        carol.send(input);
        if (!answer.isEmpty())
            QVERIFY(!carol.take(answer).isEmpty());
        // The connection is still served, and the input reached nobody.
        if (loggedOn)
            QVERIFY(carol.sync());
        else
            QCOMPARE(carol.logOn("CAROL", "carol2").value(0), u"LIU"_s);
        alice_.send("SND~ALICE1~ping~BOB2~NOONE");
        QVERIFY(bob_.take("SND").value(1).startsWith("ALICE <- ping"_L1));
        QVERIFY(alice_.sync() && bob_.sync() && carol.sync());
        for (WireClient* c : {&alice_, &bob_, &carol})
            QVERIFY(c->received("SND").isEmpty());
        carol.socket().disconnectFromHost();
        QCOMPARE(alice_.take("LGO", "CAROL2").size(), 3);
        QCOMPARE(bob_.take("LGO", "CAROL2").size(), 3);
    }

    // A connection cut without a log-out ends the session: everyone hears the user left, and a
    // message for them is kept for their next log-on.
    void aDroppedUserIsGone()
    {
        WireClient carol;
        QVERIFY(carol.logOnAt(server_.port(), "CAROL", "carol2"));
        carol.socket().abort();
        QCOMPARE(alice_.take("LGO", "CAROL2").size(), 3);
        QCOMPARE(bob_.take("LGO", "CAROL2").size(), 3);
        alice_.send("SND~ALICE1~later~CAROL2~NOONE");
        QVERIFY(alice_.sync());
        WireClient again;
        QVERIFY(again.logOnAt(server_.port(), "CAROL", "carol2"));
        QVERIFY(again.take("OffL").value(1).startsWith("ALICE <- later"_L1));
        again.socket().disconnectFromHost();
        QCOMPARE(alice_.take("LGO", "CAROL2").size(), 3);
        QCOMPARE(bob_.take("LGO", "CAROL2").size(), 3);
    }

    // A terminator in a text would end BOB's message early and make the rest a message of its
    // own. Run-together and split writes are the splitter test's rows; the throttling case sends
    // its log-ons in one write.
    void aTerminatorInTheTextStaysInside()
    {
        alice_.send("SND~ALICE1~a`OtLog~BOB2~NOONE");
        QVERIFY(alice_.sync() && bob_.sync());
        QVERIFY(bob_.received("OtLog").isEmpty());
        QVERIFY(bob_.take("SND").value(1).startsWith("ALICE <- a'OtLog ["_L1));
    }

    // A password cut by TCP after its first letters used to be stored cut short. Each part is
    // read by the server before the next is sent; the settle time is long here, so that the
    // parts can never be taken apart. The other such splits are rows of the splitter's test.
    void aMessageCutByTcpKeepsItsLastField()
    {
        // "SND~~~~NOONE" is complete as it arrives and ends what comes before it; it is then
        // ignored, as an empty message.
        const QByteArray seal = "SND~~~~NOONE";
        ServerProcess server;
        QVERIFY(server.start(database_, {"--settle-ms", "600000"}));
        WireClient fay;
        WireClient gus;
        QVERIFY(fay.connectTo(server.port()) && gus.connectTo(server.port()));
        fay.send("LIU~FAY~fay1~1.1.1~00-11-22-33-44-55" + seal);
        gus.send("LIU~GUS~gus2~1.1.1~00-11-22-33-44-55" + seal);
        QCOMPARE(fay.take("LIU").value(0) + gus.take("LIU").value(0), u"LIULIU"_s);
        for (const char* part : {"CHPASS~FAY~1~newpa", "ss99"}) {
            fay.send(part);
            // The second round trip starts after the server's turn that read the part.
            for (int i = 0; i < 2; ++i) {
                gus.send("HND~GUS2~1" + seal);
                QVERIFY(!gus.take("HND").isEmpty());
            }
        }
        fay.send(seal);
        QCOMPARE(fay.take("CHPASS").value(3), u"newpass99"_s);
        QCOMPARE(server.stop(), 0);
    }

    // 8,600 messages of 1 KB wait for an offline user: each arrives once, in order, after the
    // log-on reply, the day's messages hold them all, and nothing is left for a next log-on.
    void aLargeBacklogIsDeliveredOnce()
    {
        constexpr int count = 8600;
        const QByteArray filler(1000, 'k');
        for (int i = 0; i < count; ++i)
            alice_.send("SND~ALICE1~" + QByteArray::number(i) + ' ' + filler + "~DORA2~NOONE");
        QVERIFY(alice_.sync());

        WireClient dora;
        QVERIFY(dora.logOnAt(server_.port(), "DORA", "dora2"));
        QVERIFY(waitFor([&] { return dora.received("OffL").size() >= count; }));
        QVERIFY(dora.sync());
        const QList<QStringList> kept = dora.received("OffL");
        QCOMPARE(kept.size(), count);
        for (int i = 0; i < count; ++i)
            QVERIFY2(kept[i].value(1).startsWith(u"ALICE <- %1 k"_s.arg(i)),
                     qPrintable(kept[i].value(1).left(20)));

        dora.send("ALLMsgs~DORA2~dora2~1.1.1");
        QCOMPARE(dora.take("ALLM", "END").size(), 3);
        QCOMPARE(dora.received("ALLM").size(), count + 1); // and START

        WireClient again;
        QVERIFY(again.logOnAt(server_.port(), "DORA", "dora2"));
        QVERIFY(again.sync());
        QVERIFY(again.received("OffL").isEmpty());
    }

    // A client that stops reading is dropped; what was taken for it and not yet written to it
    // arrives at its next log-on, and nothing arrives twice.
    void aDroppedNonReaderLosesNothing()
    {
        constexpr int count = 500; // 30 MB: past the output limit and the kernel's buffers
        WireClient eve;
        QVERIFY(eve.logOnAt(server_.port(), "EVE", "eve2"));
        QVERIFY(eve.sync());
        eve.messages().clear();
        eve.pauseReading(true);
        const QByteArray filler(60000, 'e');
        for (int i = 0; i < count; ++i)
            alice_.send("SND~ALICE1~" + QByteArray::number(i) + ' ' + filler + "~EVE2~NOONE");
        QCOMPARE(alice_.take("LGO", "EVE2").size(), 3);
        QVERIFY(alice_.sync());

        // What reached its socket before the drop is still there to read.
        eve.pauseReading(false);
        QVERIFY(eve.waitForClose());
        QList<QStringList> got = eve.received("SND");
        WireClient again;
        QVERIFY(again.logOnAt(server_.port(), "EVE", "eve2"));
        (void)waitFor([&] { return got.size() + again.received("OffL").size() >= count; });
        QVERIFY(again.sync());
        got += again.received("OffL");
        QCOMPARE(got.size(), count);
        for (int i = 0; i < count; ++i)
            QVERIFY2(got[i].value(1).startsWith(u"ALICE <- %1 e"_s.arg(i)),
                     qPrintable(got[i].value(1).left(20)));
    }

    // Wrong passwords in a row get a name and an address refused unchecked for a while, with
    // one log line each, and end the connection at the tenth; others log on as before.
    void passwordGuessingIsThrottled()
    {
        WireClient guesser;
        QVERIFY(guesser.connectTo(server_.port(), u"127.0.0.2"_s));
        QByteArray guesses;
        for (int i = 0; i < 9; ++i)
            guesses += "LIU~HAL~guess" + QByteArray::number(i) + "~1.1.1~00-11-22-33-44-55";
        guesses += "LIU~HAL~hal1~1.1.1~00-11-22-33-44-55"; // right, but refused unchecked
        guesser.send(guesses);
        QVERIFY(guesser.waitForClose());
        QCOMPARE(guesser.received("Invalid").size(), 10);
        QVERIFY(guesser.received("LIU").isEmpty());

        WireClient elsewhere;
        QVERIFY(elsewhere.connectTo(server_.port(), u"127.0.0.3"_s));
        QCOMPARE(elsewhere.logOn("HAL", "hal1").value(0), u"Invalid"_s);
        QCOMPARE(elsewhere.logOn("CAROL", "carol2").value(0), u"LIU"_s);
        elsewhere.socket().disconnectFromHost();
        QCOMPARE(alice_.take("LGO", "CAROL2").size(), 3);

        QCOMPARE(server_.output().count("throttled"_L1), 2); // the name and the address
    }

    // A log-on whose key derivation takes long (a hash of many rounds) holds up nobody else:
    // a message sent after it arrives before its answer.
    void aSlowLogOnCheckHoldsUpNobodyElse()
    {
        sqlRow(database_, u"UPDATE accounts SET iterations = 5000000 WHERE name = 'IVY'"_s);
        WireClient ivy;
        QVERIFY(ivy.connectTo(server_.port(), u"127.0.0.4"_s));
        ivy.send("LIU~IVY~ivy1~1.1.1~00-11-22-33-44-55");
        alice_.send("SND~ALICE1~while another logs on~BOB2~NOONE");
        QVERIFY(bob_.take("SND").value(1).startsWith("ALICE <- while another logs on ["_L1));
        QVERIFY(alice_.sync()); // whatever the server sent Ivy before has arrived by now
        QVERIFY(ivy.messages().isEmpty());
        QVERIFY(!ivy.take("Invalid").isEmpty()); // the stored hash has other rounds
    }

    // A 60 KB user name makes a log line of ordinary length.
    void clientValuesAreCutInTheLog()
    {
        WireClient c;
        QVERIFY(c.connectTo(server_.port()));
        QCOMPARE(c.logOn(QString(60000, u'N'), u"pw"_s).value(0), u"Invalid"_s);
        for (const QString& line : server_.output().split(u'\n'))
            QVERIFY2(line.size() < 400, qPrintable(line.left(100)));
    }
};

QTEST_GUILESS_MAIN(TestServerRobustness)
#include "tst_serverrobustness.moc"
