// Log-on, the user list, message routing, the offline queue, day messages and password
// changes, against the real server process.
#include "ServerHarness.h"

#include <QMap>
#include <algorithm>
#include <memory>

using namespace wispline::server::test;
using namespace Qt::StringLiterals;

namespace
{

// Name, password, level and supervisor. The first seven stay logged on for the routing cases;
// the rest log on in their own tests.
const QList<QStringList> kUsers{
    {"ALICE", "alice1", "1"},      {"FRED", "fred1", "1"},        {"BOB", "bob2", "2"},
    {"CAROL", "carol2", "2"},      {"DAVE", "dave3", "3", "BOB"}, {"ERIN", "erin3", "3", "CAROL"},
    {"GINA", "gina3", "3", "BOB"}, {"HANK", "hank1", "1"},        {"IVY", "ivy3", "3", "BOB"},
    {"KIM", "kim1", "1"},          {"LEE", "lee2", "2"},          {"NED", "ned1", "1"},
    {"OLGA", "olga1", "1"},        {"PAT", "pat2", "2"}};
constexpr int kRoutingUsers = 7;

} // namespace

class TestServerRouting : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    QString database_;
    ServerProcess server_;
    QMap<QString, std::shared_ptr<WireClient>> online_;

    std::unique_ptr<WireClient> logOn(const QString& name, const QString& password)
    {
        auto c = std::make_unique<WireClient>();
        return c->logOnAt(server_.port(), name, password) ? std::move(c) : nullptr;
    }
    WireClient& user(const QString& name) { return *online_[name]; }
    bool syncAll()
    {
        return std::all_of(online_.cbegin(), online_.cend(),
                           [](const auto& c) { return c->sync(); });
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir_.isValid());
        database_ = testDatabase(dir_, u"routing.db"_s);
        if (isPostgres(database_) && !QSqlDatabase::isDriverAvailable(u"QPSQL"_s))
            QSKIP("Qt's PostgreSQL driver (libqt6sql6-psql) is not installed");
        for (const QStringList& u : kUsers)
            QCOMPARE(addUser(database_, u).exitCode, 0);
        QVERIFY(server_.start(database_));
        for (const QStringList& u : kUsers.first(kRoutingUsers)) {
            online_.insert(u[0], logOn(u[0], u[1]));
            QVERIFY(online_[u[0]]);
        }
    }

    void cleanupTestCase()
    {
        online_.clear();
        QCOMPARE(server_.stop(), 0);
    }

    void init()
    {
        QVERIFY(server_.running());
        QVERIFY(syncAll());
        for (const auto& c : std::as_const(online_))
            c->messages().clear();
    }

    // HANK's log-on is announced to the others, with their list for him; a second log-on ends
    // the first without a log-out notice and takes its messages; a log-out is announced.
    void presence()
    {
        WireClient first;
        QVERIFY(first.connectTo(server_.port()));
        QCOMPARE(first.logOn("hank", "hank1"), QStringList({"LIU", "HANK", "1", "ExitEnd"}));
        QStringList users = first.take("USRS");
        users.sort();
        QCOMPARE(users, QStringList({"ALICE1", "BOB2", "CAROL2", "DAVE3", "ERIN3", "ExitEnd",
                                     "FRED1", "GINA3", "USRS"}));
        // A message sent with the log-on reaches nobody before the news of its sender.
        auto second = std::make_unique<WireClient>();
        QVERIFY(second->connectTo(server_.port()));
        second->send("LIU~HANK~hank1~1.1.1~00-11-22-33-44-55SND~HANK1~Back~ALICE1~NOONE");
        QCOMPARE(second->take("LIU").value(1), u"HANK"_s);
        const QList<QStringList>& seen = user("ALICE").messages();
        const auto sent = [&] {
            return std::find_if(seen.cbegin(), seen.cend(),
                                [](const QStringList& m) { return m.value(0) == u"SND"_s; });
        };
        QVERIFY(waitFor([&] { return sent() != seen.cend(); }));
        QCOMPARE(std::count_if(seen.cbegin(), sent(),
                               [](const QStringList& m) { return m.value(0) == u"USRS"_s; }),
                 2);
        QCOMPARE(first.take("OtLog").size(), 3);
        QVERIFY(first.waitForClose());
        user("ALICE").send("SND~ALICE1~Which one are you?~HANK1~NOONE");
        QVERIFY(second->take("SND").value(1).startsWith("ALICE <- Which one"_L1));
        second->send("LOU~HANK1");
        QVERIFY(second->waitForClose());
        QVERIFY(syncAll());
        const QStringList joined{"USRS", "HANK1", "ExitEnd"};
        for (const auto& c : std::as_const(online_)) {
            QCOMPARE(c->received("USRS"), QList<QStringList>({joined, joined})); // each log-on
            QCOMPARE(c->received("LGO"),
                     QList<QStringList>{QStringList({"LGO", "HANK1", "ExitEnd"})});
        }
    }

    void routing_data()
    {
        QTest::addColumn<QString>("sender"); // an address: name and level
        QTest::addColumn<QString>("recipients");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QStringList>("reached");
        const auto row = [](const char* tag, const char* sender, const char* recipients,
                            const char* code, const QStringList& reached) {
            QTest::newRow(tag) << QString(sender) << QString(recipients) << QString(code)
                               << reached;
        };
        row("one to one", "ALICE1", "BOB2", "NOONE", {"BOB"});
        row("several named", "DAVE3", "BOB2,CAROL2", "NOONE", {"BOB", "CAROL"});
        row("all level 3", "BOB2", "NOONE", "L3A", {"DAVE", "ERIN", "GINA"});
        row("all level 2", "FRED1", "NOONE", "L2A", {"BOB", "CAROL"});
        // The recipe: a group code and a list this user's client never offers.
        row("level 3 hand-made group code refused", "DAVE3", "NOONE", "L3A", {});
        row("own address in the list", "ALICE1", "ALICE1,FRED1", "NOONE", {"FRED"});
        row("a recipient twice", "ALICE1", "BOB2,BOB2", "NOONE", {"BOB"});
        row("address in lower case", "ERIN3", "carol2", "NOONE", {"CAROL"});
        row("unknown recipient", "ALICE1", "NOBODY1,FRED1", "NOONE", {"FRED"});
        row("text in the Western code page: \u20ac 5, \u201cquoted\u201d, caf\u00e9", "ALICE1",
            "BOB2", "NOONE", {"BOB"});
    }

    void routing()
    {
        QFETCH(QString, sender);
        QFETCH(QString, recipients);
        QFETCH(QString, code);
        QFETCH(QStringList, reached);

        const QString name = sender.chopped(1);
        const QString body = u"Lunch at one? "_s + QString::fromUtf8(QTest::currentDataTag());
        user(name).send(
            wispline::ansi::encode(u"SND~%1~  %2 ~%3~%4"_s.arg(sender, body, recipients, code)));
        QVERIFY(user(name).sync());
        QVERIFY(syncAll());

        const QRegularExpression display(
            u"^%1 <- %2 \\[\\d\\d:\\d\\d:\\d\\d\\]$"_s.arg(name, QRegularExpression::escape(body)));
        for (auto it = online_.cbegin(); it != online_.cend(); ++it) {
            const QList<QStringList> got = it.value()->received("SND");
            QVERIFY2(got.size() == int(reached.contains(it.key())), qPrintable(it.key()));
            if (!got.isEmpty())
                QVERIFY2(display.match(got[0].value(1)).hasMatch(), qPrintable(got[0].value(1)));
        }
        // Kept for the day once per recipient, in the same characters.
        QTRY_COMPARE_WITH_TIMEOUT(
            sqlRow(database_, u"SELECT COUNT(*) FROM messages WHERE body = ?"_s, {body}),
            QVariantList{reached.size()}, kWaitMs);
    }

    // Control characters anywhere in a message are blanked before it is read: in the body as
    // delivered and kept for the day, and before an address, which still names its user.
    void controlsInAMessageAreBlanked()
    {
        user("ALICE").send("SND~ALICE1~tab\there\x01" "and\x7f" "there~\x02" "BOB2~NOONE");
        QVERIFY(user("ALICE").sync());
        QVERIFY(syncAll());
        const QString shown = u"tab here and there"_s;
        const QList<QStringList> got = user("BOB").received("SND");
        QCOMPARE(got.size(), 1);
        QVERIFY2(got[0].value(1).startsWith(u"ALICE <- "_s + shown + u" ["_s),
                 qPrintable(got[0].value(1)));
        QTRY_COMPARE_WITH_TIMEOUT(
            sqlRow(database_, u"SELECT COUNT(*) FROM messages WHERE body = ?"_s, {shown}),
            QVariantList{1}, kWaitMs);
    }

    void offlineRecipientGetsTheMessageAtNextLogOn()
    {
        user("ALICE").send("SND~ALICE1~While you were out~HANK1~NOONE");
        user("BOB").send("SND~BOB2~Call me~HANK1,ALICE1~NOONE");
        // Group messages are for whoever is on at the time.
        user("BOB").send("SND~BOB2~To all level 3~NOONE~L3A");
        QVERIFY(syncAll());

        std::unique_ptr<WireClient> hank = logOn("HANK", "hank1");
        QVERIFY(hank);
        QVERIFY(hank->take("OffL").value(1).startsWith("ALICE <- While you were out ["_L1));
        QVERIFY(hank->take("OffL").value(1).startsWith("BOB <- Call me ["_L1));
        std::unique_ptr<WireClient> ivy = logOn("IVY", "ivy3");
        QVERIFY(ivy && ivy->sync());
        // Delivered once only: the robustness test's large backlog.
        QVERIFY(ivy->received("OffL").isEmpty());
    }

    // Passwords compare with case. What a connection not logged on sends is ignored, as the
    // robustness test shows.
    void refusedLogOns()
    {
        WireClient c;
        QVERIFY(c.connectTo(server_.port()));
        for (const auto& [name, password] :
             {std::pair("ALICE", "Alice1"), {"ZED", "zed1"}, {"ALICE", ""}})
            QCOMPARE(c.logOn(name, password).value(0), u"Invalid"_s);
    }

    void dayMessagesOfTheUser_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QStringList>("lines");
        const QStringList none{"START"};
        QTest::newRow("own messages")
            << QByteArray("ALLMsgs~LEE2~lee2~1.1.1")
            << QStringList({"START", "MSG|T KIM -> LEE : first", "MSG|T LEE -> KIM : second",
                            "MSG|T ALICE -> LEE : third"});
        QTest::newRow("wrong password") << QByteArray("ALLMsgs~LEE2~wrong~1.1.1") << none;
        QTest::newRow("another user's name") << QByteArray("ALLMsgs~ALICE1~alice1~1.1.1") << none;
    }

    void dayMessagesOfTheUser()
    {
        QFETCH(QByteArray, request);
        QFETCH(QStringList, lines);
        std::unique_ptr<WireClient> kim = logOn("KIM", "kim1");
        std::unique_ptr<WireClient> lee = logOn("LEE", "lee2");
        QVERIFY(kim && lee);
        // Each sent after the one before has been handled, so the order is known.
        for (auto [from, text] : {std::pair(kim.get(), "SND~KIM1~first~LEE2~NOONE"),
                                  {lee.get(), "SND~LEE2~second~KIM1~NOONE"},
                                  {&user("ALICE"), "SND~ALICE1~third~LEE2,CAROL2~NOONE"},
                                  {&user("ALICE"), "SND~ALICE1~not for Lee~FRED1~NOONE"}}) {
            from->send(text);
            QVERIFY(from->sync());
        }

        lee->messages().clear();
        lee->send(request);
        QCOMPARE(lee->take("ALLM", "END").size(), 3);
        static const QRegularExpression clock(u"\\d\\d:\\d\\d:\\d\\d"_s);
        QStringList got;
        for (const QStringList& m : lee->received("ALLM"))
            got.append(m.mid(1, m.size() - 2).join(QLatin1Char('|')).replace(clock, "T"));
        QCOMPARE(got, lines);
    }

    // NED asks; the change is last, so each refusal starts from the first password. A
    // connection may ask for three changes at once (each costs a key derivation); OLGA and PAT
    // ask for several on one connection, each after the answer to the one before.
    void passwordChange_data()
    {
        QTest::addColumn<QString>("account");    // name and password
        QTest::addColumn<QByteArray>("request"); // %1: the request's number, from 1
        QTest::addColumn<int>("times");
        QTest::addColumn<QString>("result");   // of the last
        QTest::addColumn<QString>("password"); // the user's afterwards
        const auto row = [](const char* tag, const char* account, const char* request, int times,
                            const char* result, const char* password) {
            QTest::newRow(tag) << QString(account) << QByteArray(request) << times
                               << QString(result) << QString(password);
        };
        row("another user's password", "NED ned1", "CHPASS~ALICE~1~taken", 1, "F", "ned1");
        row("empty password", "NED ned1", "CHPASS~NED~1~", 1, "F", "ned1");
        row("blank password", "NED ned1", "CHPASS~NED~1~   ", 1, "F", "ned1");
        row("terminator in the password", "NED ned1", "CHPASS~NED~1~ab`cd", 1, "F", "ned1");
        row("changed", "NED ned1", "CHPASS~ned~1~n3w-Pass", 1, "S", "n3w-Pass");
        row("three changes at once, the last free: changed", "OLGA olga1", "CHPASS~OLGA~1~olga-%1",
            3, "S", "olga-3");
        row("a fourth change at once: refused", "PAT pat2", "CHPASS~PAT~2~pat-%1", 4, "F", "pat-3");
    }

    void passwordChange()
    {
        QFETCH(QString, account);
        QFETCH(QByteArray, request);
        QFETCH(int, times);
        QFETCH(QString, result);
        QFETCH(QString, password);
        const QString name = account.section(u' ', 0, 0);
        const QString first = account.section(u' ', 1, 1);
        std::unique_ptr<WireClient> ned = logOn(name, first);
        QVERIFY(ned);
        QStringList answer;
        for (int i = 1; i <= times; ++i) {
            ned->send(QString::fromLatin1(request).arg(i).toLatin1());
            answer = ned->take("CHPASS");
        }
        QCOMPARE(answer.value(2), result);
        if (times > 3)
            QCOMPARE(answer.value(1), u"Too many password changes. Please try again later."_s);
        ned.reset();
        QVERIFY(logOn(name, password));
        QCOMPARE(!logOn(name, first), password != first);
        // Nobody else's password changed (for single requests: ALICE's downloads are paced).
        if (times > 1)
            return;
        user("ALICE").send("ALLMsgs~ALICE1~alice1~1.1.1");
        QVERIFY(!user("ALICE").take("ALLM", "MSG").isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestServerRouting)
#include "tst_serverrouting.moc"
