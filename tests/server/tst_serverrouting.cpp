// Log-on, the user list, message routing, the offline queue, day messages and password
// changes, against the real server process.
#include "ServerHarness.h"

#include <QMap>
#include <memory>

using namespace wispline::server::test;

namespace
{

struct User {
    const char* name;
    const char* password;
    const char* level;
    const char* supervisor;
};

// The first seven stay logged on for the routing cases; the rest log on in their own tests.
const User kUsers[] = {
    {"ALICE", "alice1", "1", ""},  {"FRED", "fred1", "1", ""},    {"BOB", "bob2", "2", ""},
    {"CAROL", "carol2", "2", ""},  {"DAVE", "dave3", "3", "BOB"}, {"ERIN", "erin3", "3", "CAROL"},
    {"GINA", "gina3", "3", "BOB"}, {"HANK", "hank1", "1", ""},    {"IVY", "ivy3", "3", "BOB"},
    {"JOE", "joe1", "1", ""},      {"KIM", "kim1", "1", ""},      {"LEE", "lee2", "2", ""},
    {"MAY", "may1", "1", ""},      {"NED", "ned1", "1", ""}};
constexpr int kRoutingUsers = 7;

const QRegularExpression kClock(QStringLiteral("\\d\\d:\\d\\d:\\d\\d"));

} // namespace

class TestServerRouting : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void logOnListsTheOthers();
    void routing_data();
    void routing();
    void offlineRecipientGetsTheMessageAtNextLogOn();
    void groupMessagesAreNotKeptForOfflineUsers();
    void logOutAndDropAnnounceTheUserGone();
    void secondLogOnEndsTheFirst();
    void refusedLogOns_data();
    void refusedLogOns();
    void oldClientVersionIsRefused();
    void dayMessagesOfTheUser();
    void dayMessagesNeedTheRightPassword_data();
    void dayMessagesNeedTheRightPassword();
    void passwordChange();
    void passwordChangeRefusals_data();
    void passwordChangeRefusals();

private:
    std::unique_ptr<WireClient> logOn(const QString& name, const QString& password);
    bool syncAll();

    QTemporaryDir dir_;
    QString database_;
    ServerProcess server_;
    QMap<QString, std::shared_ptr<WireClient>> online_;
};

void TestServerRouting::initTestCase()
{
    QVERIFY(dir_.isValid());
    database_ = dir_.filePath(QStringLiteral("routing.db"));
    for (const User& u : kUsers) {
        QStringList args{QStringLiteral("--add-user"), QLatin1String(u.name),
                         QLatin1String(u.password), QLatin1String(u.level)};
        if (*u.supervisor)
            args.append(QLatin1String(u.supervisor));
        const AdminResult r = runAdmin(database_, args);
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
    }
    QVERIFY(server_.start(database_));
    for (int i = 0; i < kRoutingUsers; ++i) {
        const User& u = kUsers[i];
        std::unique_ptr<WireClient> c = logOn(QLatin1String(u.name), QLatin1String(u.password));
        QVERIFY(c);
        online_.insert(QLatin1String(u.name), std::move(c));
    }
}

void TestServerRouting::cleanupTestCase()
{
    online_.clear();
    QCOMPARE(server_.stop(), 0);
}

void TestServerRouting::init()
{
    QVERIFY(server_.running());
    QVERIFY(syncAll());
    for (const auto& c : std::as_const(online_))
        c->messages().clear();
}

std::unique_ptr<WireClient> TestServerRouting::logOn(const QString& name, const QString& password)
{
    auto c = std::make_unique<WireClient>();
    if (!c->connectTo(server_.port()))
        return nullptr;
    if (c->logOn(name, password).value(0) != QLatin1String("LIU"))
        return nullptr;
    return c;
}

bool TestServerRouting::syncAll()
{
    for (const auto& c : std::as_const(online_)) {
        if (!c->sync())
            return false;
    }
    return true;
}

void TestServerRouting::logOnListsTheOthers()
{
    WireClient hank;
    QVERIFY(hank.connectTo(server_.port()));
    QCOMPARE(hank.logOn(QStringLiteral("hank"), QStringLiteral("hank1")),
             QStringList({"LIU", "HANK", "1", "ExitEnd"}));
    QStringList users = hank.take(QStringLiteral("USRS"));
    QCOMPARE(users.takeFirst(), QStringLiteral("USRS"));
    QCOMPARE(users.takeLast(), QStringLiteral("ExitEnd"));
    users.sort();
    QCOMPARE(users, QStringList({"ALICE1", "BOB2", "CAROL2", "DAVE3", "ERIN3", "FRED1", "GINA3"}));
    QVERIFY(syncAll());
    for (const auto& c : std::as_const(online_))
        QCOMPARE(c->received(QStringLiteral("USRS")),
                 QList<QStringList>{QStringList({"USRS", "HANK1", "ExitEnd"})});
}

void TestServerRouting::routing_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("recipients");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QStringList>("reached");

    QTest::newRow("one to one") << "ALICE"
                                << "BOB2"
                                << "NOONE" << QStringList{"BOB"};
    QTest::newRow("several named") << "ALICE"
                                   << "BOB2,DAVE3,FRED1"
                                   << "NOONE" << QStringList{"BOB", "DAVE", "FRED"};
    QTest::newRow("all level 2") << "ALICE"
                                 << "NOONE"
                                 << "L2A" << QStringList{"BOB", "CAROL"};
    QTest::newRow("all level 3") << "FRED"
                                 << "NOONE"
                                 << "L3A" << QStringList{"DAVE", "ERIN", "GINA"};
    QTest::newRow("all level 2 never to the sender") << "BOB"
                                                     << "NOONE"
                                                     << "L2A" << QStringList{"CAROL"};
    QTest::newRow("under a level 2 user") << "ALICE"
                                          << "BOB2"
                                          << "L2S" << QStringList{"BOB", "DAVE", "GINA"};
    QTest::newRow("under two level 2 users")
        << "DAVE"
        << "BOB2,CAROL2"
        << "L2S" << QStringList{"BOB", "CAROL", "ERIN", "GINA"};
    QTest::newRow("under nobody selected") << "ALICE"
                                           << "NOONE"
                                           << "L2S" << QStringList{};
    QTest::newRow("own address in the list") << "ALICE"
                                             << "ALICE1,BOB2"
                                             << "NOONE" << QStringList{"BOB"};
    QTest::newRow("same recipient twice") << "ALICE"
                                          << "BOB2,BOB2"
                                          << "L2A" << QStringList{"BOB", "CAROL"};
    QTest::newRow("address in lower case") << "ERIN"
                                           << "carol2"
                                           << "NOONE" << QStringList{"CAROL"};
    QTest::newRow("unknown recipient") << "ALICE"
                                       << "NOBODY1,FRED1"
                                       << "NOONE" << QStringList{"FRED"};
    QTest::newRow("unknown code reaches the named only") << "ALICE"
                                                         << "FRED1"
                                                         << "XYZ" << QStringList{"FRED"};
}

void TestServerRouting::routing()
{
    QFETCH(QString, sender);
    QFETCH(QString, recipients);
    QFETCH(QString, code);
    QFETCH(QStringList, reached);

    QString level;
    for (const User& u : kUsers) {
        if (sender == QLatin1String(u.name))
            level = QLatin1String(u.level);
    }
    const QString body = QStringLiteral("Lunch at one? %1").arg(QTest::currentDataTag());
    online_[sender]->send(QStringLiteral("SND~%1%2~  %3 ~%4~%5")
                              .arg(sender, level, body, recipients, code)
                              .toLatin1());
    QVERIFY(online_[sender]->sync());
    QVERIFY(syncAll());

    const QRegularExpression display(QStringLiteral("^%1 <- %2 \\[\\d\\d:\\d\\d:\\d\\d\\]$")
                                         .arg(sender, QRegularExpression::escape(body)));
    for (auto it = online_.cbegin(); it != online_.cend(); ++it) {
        const QList<QStringList> got = it.value()->received(QStringLiteral("SND"));
        if (reached.contains(it.key())) {
            QVERIFY2(got.size() == 1, qPrintable(it.key()));
            QCOMPARE(got[0].size(), 3);
            QVERIFY2(display.match(got[0][1]).hasMatch(), qPrintable(got[0][1]));
            QCOMPARE(got[0][2], QStringLiteral("ExitEnd"));
        } else {
            QVERIFY2(got.isEmpty(), qPrintable(it.key()));
        }
    }
}

void TestServerRouting::offlineRecipientGetsTheMessageAtNextLogOn()
{
    online_[QStringLiteral("ALICE")]->send("SND~ALICE1~While you were out~HANK1~NOONE");
    online_[QStringLiteral("BOB")]->send("SND~BOB2~Call me~HANK1,ALICE1~NOONE");
    QVERIFY(syncAll());

    std::unique_ptr<WireClient> hank = logOn(QStringLiteral("HANK"), QStringLiteral("hank1"));
    QVERIFY(hank);
    const QStringList first = hank->take(QStringLiteral("OffL"));
    QVERIFY(first.value(1).startsWith(QLatin1String("ALICE <- While you were out [")));
    const QStringList second = hank->take(QStringLiteral("OffL"));
    QVERIFY(second.value(1).startsWith(QLatin1String("BOB <- Call me [")));
    QCOMPARE(second.value(2), QStringLiteral("ExitEnd"));
    hank.reset();

    // Delivered once only.
    hank = logOn(QStringLiteral("HANK"), QStringLiteral("hank1"));
    QVERIFY(hank && hank->sync());
    QVERIFY(hank->received(QStringLiteral("OffL")).isEmpty());
}

void TestServerRouting::groupMessagesAreNotKeptForOfflineUsers()
{
    online_[QStringLiteral("ALICE")]->send("SND~ALICE1~To all level 3~NOONE~L3A");
    online_[QStringLiteral("ALICE")]->send("SND~ALICE1~Under Bob~BOB2~L2S");
    QVERIFY(syncAll());
    std::unique_ptr<WireClient> ivy = logOn(QStringLiteral("IVY"), QStringLiteral("ivy3"));
    QVERIFY(ivy && ivy->sync());
    QVERIFY(ivy->received(QStringLiteral("OffL")).isEmpty());
}

void TestServerRouting::logOutAndDropAnnounceTheUserGone()
{
    std::unique_ptr<WireClient> joe = logOn(QStringLiteral("JOE"), QStringLiteral("joe1"));
    QVERIFY(joe);
    joe->send("LOU~JOE1");
    QVERIFY(joe->waitForClose());
    for (const auto& c : std::as_const(online_))
        QCOMPARE(c->take(QStringLiteral("LGO")), QStringList({"LGO", "JOE1", "ExitEnd"}));

    joe = logOn(QStringLiteral("JOE"), QStringLiteral("joe1"));
    QVERIFY(joe);
    joe->socket().abort();
    for (const auto& c : std::as_const(online_))
        QCOMPARE(c->take(QStringLiteral("LGO")), QStringList({"LGO", "JOE1", "ExitEnd"}));

    // Gone means a named message is now kept for later.
    online_[QStringLiteral("ALICE")]->send("SND~ALICE1~Still there?~JOE1~NOONE");
    QVERIFY(online_[QStringLiteral("ALICE")]->sync());
    joe = logOn(QStringLiteral("JOE"), QStringLiteral("joe1"));
    QVERIFY(joe);
    QVERIFY(joe->take(QStringLiteral("OffL")).value(1).startsWith(QLatin1String("ALICE <- ")));
}

void TestServerRouting::secondLogOnEndsTheFirst()
{
    std::unique_ptr<WireClient> first = logOn(QStringLiteral("NED"), QStringLiteral("ned1"));
    QVERIFY(first);
    std::unique_ptr<WireClient> second = logOn(QStringLiteral("NED"), QStringLiteral("ned1"));
    QVERIFY(second);
    const QStringList ended = first->take(QStringLiteral("OtLog"));
    QCOMPARE(ended.size(), 3);
    QVERIFY(!ended[1].isEmpty());
    QVERIFY(first->waitForClose());

    // The user stayed on throughout: nobody hears of NED leaving, and messages reach the new
    // connection.
    online_[QStringLiteral("ALICE")]->send("SND~ALICE1~Which one are you?~NED1~NOONE");
    QVERIFY(syncAll());
    for (const auto& c : std::as_const(online_)) {
        for (const QStringList& gone : c->received(QStringLiteral("LGO")))
            QVERIFY(!gone.contains(QStringLiteral("NED1")));
    }
    QVERIFY(second->take(QStringLiteral("SND")).value(1).startsWith(QLatin1String("ALICE <- ")));
}

void TestServerRouting::refusedLogOns_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::newRow("wrong password") << "ALICE"
                                    << "Alice1";
    QTest::newRow("unknown user") << "ZED"
                                  << "zed1";
    QTest::newRow("empty password") << "ALICE"
                                    << "";
}

void TestServerRouting::refusedLogOns()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    WireClient c;
    QVERIFY(c.connectTo(server_.port()));
    const QStringList reply = c.logOn(name, password);
    QCOMPARE(reply.value(0), QStringLiteral("Invalid"));
    QVERIFY(!reply.value(1).isEmpty());
    QCOMPARE(reply.value(2), QStringLiteral("ExitEnd"));
    // A refused connection is not a user: it gets no list and routes nothing.
    c.send("SND~ALICE1~spoof~BOB2~NOONE");
    QVERIFY(syncAll());
    QVERIFY(c.received(QStringLiteral("USRS")).isEmpty());
    QVERIFY(online_[QStringLiteral("BOB")]->received(QStringLiteral("SND")).isEmpty());
}

void TestServerRouting::oldClientVersionIsRefused()
{
    QCOMPARE(
        runAdmin(database_, {QStringLiteral("--min-version"), QStringLiteral("1.10.0")}).exitCode,
        0);
    WireClient old;
    QVERIFY(old.connectTo(server_.port()));
    const QStringList reply =
        old.logOn(QStringLiteral("KIM"), QStringLiteral("kim1"), QStringLiteral("1.9.9"));
    QCOMPARE(reply.value(0), QStringLiteral("Version"));
    QVERIFY(reply.value(1).contains(QLatin1String("1.10.0")));

    WireClient current;
    QVERIFY(current.connectTo(server_.port()));
    QCOMPARE(current.logOn(QStringLiteral("KIM"), QStringLiteral("kim1"), QStringLiteral("1.10.0"))
                 .value(0),
             QStringLiteral("LIU"));
    QCOMPARE(
        runAdmin(database_, {QStringLiteral("--min-version"), QStringLiteral("0.0.0")}).exitCode,
        0);
}

void TestServerRouting::dayMessagesOfTheUser()
{
    std::unique_ptr<WireClient> kim = logOn(QStringLiteral("KIM"), QStringLiteral("kim1"));
    std::unique_ptr<WireClient> lee = logOn(QStringLiteral("LEE"), QStringLiteral("lee2"));
    QVERIFY(kim && lee);
    kim->send("SND~KIM1~first~LEE2~NOONE");
    QVERIFY(kim->sync());
    lee->send("SND~LEE2~second~KIM1~NOONE");
    QVERIFY(lee->sync());
    online_[QStringLiteral("ALICE")]->send("SND~ALICE1~third~LEE2,FRED1~NOONE");
    QVERIFY(online_[QStringLiteral("ALICE")]->sync());
    online_[QStringLiteral("ALICE")]->send("SND~ALICE1~not for Lee~FRED1~NOONE");
    QVERIFY(online_[QStringLiteral("ALICE")]->sync());

    lee->messages().clear();
    lee->send("ALLMsgs~LEE2~lee2~1.1.1");
    QCOMPARE(lee->take(QStringLiteral("ALLM"), QStringLiteral("END")).size(), 3);
    QStringList lines;
    for (const QStringList& m : lee->received(QStringLiteral("ALLM"))) {
        QCOMPARE(m.value(m.size() - 1), QStringLiteral("ExitEnd"));
        lines.append(m.mid(1, m.size() - 2).join(QLatin1Char('|')).replace(kClock, "T"));
    }
    QCOMPARE(lines, QStringList({"START", "MSG|T KIM -> LEE : first", "MSG|T LEE -> KIM : second",
                                 "MSG|T ALICE -> LEE : third"}));
}

void TestServerRouting::dayMessagesNeedTheRightPassword_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("wrong password") << QByteArray("ALLMsgs~MAY1~wrong~1.1.1");
    QTest::newRow("another user's name") << QByteArray("ALLMsgs~ALICE1~alice1~1.1.1");
}

void TestServerRouting::dayMessagesNeedTheRightPassword()
{
    QFETCH(QByteArray, request);
    std::unique_ptr<WireClient> may = logOn(QStringLiteral("MAY"), QStringLiteral("may1"));
    QVERIFY(may);
    online_[QStringLiteral("ALICE")]->send("SND~ALICE1~for May~MAY1~NOONE");
    QVERIFY(online_[QStringLiteral("ALICE")]->sync());
    may->send(request);
    QVERIFY(!may->take(QStringLiteral("ALLM"), QStringLiteral("END")).isEmpty());
    QCOMPARE(may->received(QStringLiteral("ALLM")),
             QList<QStringList>{QStringList({"ALLM", "START", "ExitEnd"})});
}

void TestServerRouting::passwordChange()
{
    std::unique_ptr<WireClient> may = logOn(QStringLiteral("MAY"), QStringLiteral("may1"));
    QVERIFY(may);
    may->send("CHPASS~may~1~n3w-Pass");
    QCOMPARE(may->take(QStringLiteral("CHPASS")),
             QStringList({"CHPASS", "Password changed successfully.", "S", "n3w-Pass", "ExitEnd"}));
    may.reset();

    WireClient old;
    QVERIFY(old.connectTo(server_.port()));
    QCOMPARE(old.logOn(QStringLiteral("MAY"), QStringLiteral("may1")).value(0),
             QStringLiteral("Invalid"));
    may = logOn(QStringLiteral("MAY"), QStringLiteral("n3w-Pass"));
    QVERIFY(may);
    // The day's messages are checked against the new password too.
    may->send("ALLMsgs~MAY1~n3w-Pass~1.1.1");
    may->take(QStringLiteral("ALLM"), QStringLiteral("END"));
    QVERIFY(may->received(QStringLiteral("ALLM")).size() > 1);
}

void TestServerRouting::passwordChangeRefusals_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::newRow("another user's password") << QByteArray("CHPASS~ALICE~1~taken");
    QTest::newRow("empty password") << QByteArray("CHPASS~NED~1~");
    QTest::newRow("blank password") << QByteArray("CHPASS~NED~1~   ");
    QTest::newRow("terminator in the password") << QByteArray("CHPASS~NED~1~ab`cd");
}

void TestServerRouting::passwordChangeRefusals()
{
    QFETCH(QByteArray, request);
    std::unique_ptr<WireClient> ned = logOn(QStringLiteral("NED"), QStringLiteral("ned1"));
    QVERIFY(ned);
    ned->send(request);
    const QStringList reply = ned->take(QStringLiteral("CHPASS"));
    QCOMPARE(reply.size(), 4);
    QVERIFY(!reply[1].isEmpty());
    QCOMPARE(reply[2], QStringLiteral("F"));
    ned.reset();
    // Nothing changed: both old passwords still work.
    QVERIFY(logOn(QStringLiteral("NED"), QStringLiteral("ned1")));
    WireClient& alice = *online_[QStringLiteral("ALICE")];
    alice.send("ALLMsgs~ALICE1~alice1~1.1.1");
    alice.take(QStringLiteral("ALLM"), QStringLiteral("END"));
    QVERIFY(!alice.take(QStringLiteral("ALLM"), QStringLiteral("MSG")).isEmpty());
}

QTEST_GUILESS_MAIN(TestServerRouting)
#include "tst_serverrouting.moc"
