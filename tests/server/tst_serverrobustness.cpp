// Bad input, run-together writes, dropped connections, large backlogs and password guessing
// never stop the server, lose what it accepted or disturb anyone else's session.
#include "ServerHarness.h"

#include <QSqlDatabase>
#include <QSqlQuery>

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

    bool connectCarol(WireClient& carol, bool logOn)
    {
        return logOn ? carol.logOnAt(server_.port(), "CAROL", "carol2")
                     : carol.connectTo(server_.port());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        database_ = dir_.filePath(u"robust.db"_s);
        for (const QStringList& u : QList<QStringList>{{"ALICE", "alice1", "1"},
                                                       {"BOB", "bob2", "2"},
                                                       {"CAROL", "carol2", "2"},
                                                       {"DORA", "dora2", "2"},
                                                       {"EVE", "eve2", "2"},
                                                       {"FAY", "fay1", "1"},
                                                       {"GUS", "gus2", "2"},
                                                       {"HAL", "hal1", "1"},
                                                       {"IVY", "ivy1", "1"}})
            QCOMPARE(addUser(database_, u).exitCode, 0);
        QVERIFY(server_.start(database_, {}, true));
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

    // The splits that used to cut a message short, each read by the server before the next
    // part is sent. The settle time is long here: only a command word or a destination code
    // may end a message, so the parts can never be taken apart.
    void aMessageCutByTcpKeepsItsLastField_data()
    {
        QTest::addColumn<QByteArrayList>("parts"); // sent by FAY
        QTest::addColumn<QString>("receiver");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("expected"); // in the receiver's message
        QTest::newRow("destination code") << QByteArrayList{"SND~FAY1~hi all~NOONE~L2", "A"}
                                          << u"GUS"_s << u"SND"_s << u"FAY <- hi all ["_s;
        QTest::newRow("next part starts with a command word")
            << QByteArrayList{"SND~FAY1~", "LOU~GUS2~NOONE"} << u"GUS"_s << u"SND"_s
            << u"FAY <- LOU ["_s;
        // Last: the password changes.
        QTest::newRow("password") << QByteArrayList{"CHPASS~FAY~1~newpa", "ss99"} << u"FAY"_s
                                  << u"CHPASS"_s << u"newpass99"_s;
    }

    void aMessageCutByTcpKeepsItsLastField()
    {
        QFETCH(QByteArrayList, parts);
        QFETCH(QString, receiver);
        QFETCH(QString, command);
        QFETCH(QString, expected);
        // "SND~~~~NOONE" is complete as it arrives and ends what comes before it; it is then
        // ignored, as an empty message or one before log-on.
        const QByteArray seal = "SND~~~~NOONE";
        ServerProcess server;
        QVERIFY(server.start(database_, {"--settle-ms", "600000"}));
        WireClient fay;
        WireClient gus;
        QVERIFY(fay.connectTo(server.port()) && gus.connectTo(server.port()));
        fay.send("LIU~FAY~fay1~1.1.1~00-11-22-33-44-55" + seal);
        gus.send("LIU~GUS~gus2~1.1.1~00-11-22-33-44-55" + seal);
        QCOMPARE(fay.take("LIU").value(0), u"LIU"_s);
        QCOMPARE(gus.take("LIU").value(0), u"LIU"_s);
        auto roundTrip = [&] {
            gus.send("HND~GUS2~1" + seal);
            return !gus.take("HND").isEmpty();
        };
        for (const QByteArray& part : parts) {
            fay.send(part);
            // The second round trip starts after the server's turn that read the part.
            QVERIFY(roundTrip() && roundTrip());
        }
        fay.send(seal);
        WireClient& c = receiver == "FAY"_L1 ? fay : gus;
        const QStringList got = c.take(command);
        QVERIFY2(got.join(u'~').contains(expected), qPrintable(got.join(u'~')));
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
        WireClient carol;
        QVERIFY(carol.connectTo(server_.port(), u"127.0.0.3"_s));
        QCOMPARE(carol.logOn("CAROL", "carol2").value(0), u"LIU"_s);
        carol.socket().disconnectFromHost();
        QCOMPARE(alice_.take("LGO", "CAROL2").size(), 3);

        const QString log = server_.output();
        QCOMPARE(log.count("user name HAL throttled"_L1), 1);
        QCOMPARE(log.count("address 127.0.0.2 throttled"_L1), 1);
        QCOMPARE(log.count("throttled"_L1), 2);
    }

    // A log-on whose key derivation takes long (a hash of many rounds) holds up nobody else:
    // a message sent after it arrives before its answer.
    void aSlowLogOnCheckHoldsUpNobodyElse()
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"direct"_s);
            db.setDatabaseName(database_);
            QSqlQuery q(db);
            QVERIFY(db.open());
            QVERIFY(q.exec(u"UPDATE accounts SET iterations = 5000000 WHERE name = 'IVY'"_s));
        }
        QSqlDatabase::removeDatabase(u"direct"_s);
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
        const QString log = server_.output();
        QVERIFY(log.contains("log-on refused for "_L1 + QString(64, u'N') + "...:"_L1));
        for (const QString& line : log.split(u'\n'))
            QVERIFY2(line.size() < 400, qPrintable(line.left(100)));
    }
};

QTEST_GUILESS_MAIN(TestServerRobustness)
#include "tst_serverrobustness.moc"
