// Two server nodes on one PostgreSQL database: routing between them, a log-on on one ending the
// session on the other, and a node killed with messages in flight. Runs beside the throwaway
// cluster of scripts/with-postgres.sh, skipped without it.
#include "ServerHarness.h"

#include <memory>

using namespace wispline::server::test;
using namespace Qt::StringLiterals;

namespace
{

const QList<QStringList> kUsers{{"ALICE", "alice1", "1"},
                                {"BOB", "bob2", "2"},
                                {"CAROL", "carol2", "2"},
                                {"DAVE", "dave1", "1"},
                                {"ERIN", "erin3", "3", "BOB"}};

int countOf(const QList<QStringList>& messages, const QString& body)
{
    return int(std::count_if(messages.cbegin(), messages.cend(),
                             [&](const QStringList& m) { return m.value(1).contains(body); }));
}

} // namespace

class TestServerNodes : public QObject
{
    Q_OBJECT

    QString database_;
    ServerProcess a_;
    ServerProcess b_;

    static std::unique_ptr<WireClient> logOn(const ServerProcess& node, const QString& name)
    {
        const QStringList& u =
            *std::find_if(kUsers.cbegin(), kUsers.cend(), [&](auto& u) { return u[0] == name; });
        auto c = std::make_unique<WireClient>();
        return c->logOnAt(node.port(), u[0], u[1]) ? std::move(c) : nullptr;
    }

private slots:
    void initTestCase()
    {
        database_ = qEnvironmentVariable("WISPLINE_PG_URL");
        if (database_.isEmpty())
            QSKIP("needs the PostgreSQL cluster of scripts/with-postgres.sh");
        if (!QSqlDatabase::isDriverAvailable(u"QPSQL"_s))
            QSKIP("Qt's PostgreSQL driver (libqt6sql6-psql) is not installed");
        for (const QStringList& u : kUsers)
            QCOMPARE(addUser(database_, u).exitCode, 0);
        QVERIFY(a_.start(database_, {"--admin", "127.0.0.1:0"}));
        QVERIFY(b_.start(database_));
    }

    // A registered node with a fresh heartbeat is ready, and counts the other node alive.
    void readyWhileRegistered()
    {
        QCOMPARE(HttpRequest(a_.adminPort(), "/readyz").status(), 200);
        QVERIFY(waitFor([&] {
            return HttpRequest(a_.adminPort(), "/metrics")
                .body()
                .contains("\nwispline_nodes_alive 2\n");
        }));
    }

    void crossNode_data()
    {
        QTest::addColumn<QString>("recipients");
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("toCarol"); // level 2, on the sender's node
        QTest::addColumn<bool>("toErin");  // level 3 under Bob, on Bob's node
        QTest::newRow("one to one") << u"BOB2"_s << u"NOONE"_s << false << false;
        QTest::newRow("all level 2 on both nodes") << u"NOONE"_s << u"L2A"_s << true << false;
    }

    // Each message once, in the order sent, on whichever node the recipient is.
    void crossNode()
    {
        QFETCH(QString, recipients);
        QFETCH(QString, code);
        QFETCH(bool, toCarol);
        QFETCH(bool, toErin);
        auto alice = logOn(a_, u"ALICE"_s);
        auto carol = logOn(a_, u"CAROL"_s);
        auto bob = logOn(b_, u"BOB"_s);
        auto erin = logOn(b_, u"ERIN"_s);
        QVERIFY(alice && carol && bob && erin);
        // In each other's user lists.
        QVERIFY(!alice->take(u"USRS"_s, u"BOB2"_s).isEmpty());
        QVERIFY(bob->take(u"USRS"_s).contains(u"CAROL2"_s));
        constexpr int kCount = 20;
        for (int i = 0; i < kCount; ++i)
            alice->send(u"SND~ALICE1~n%1.~%2~%3"_s.arg(i).arg(recipients, code).toLatin1());
        QVERIFY(alice->sync());
        QVERIFY(waitFor([&] { return bob->received(u"SND"_s).size() >= kCount; }));
        if (toErin)
            QVERIFY(waitFor([&] { return erin->received(u"SND"_s).size() >= kCount; }));
        QVERIFY(bob->sync() && carol->sync() && erin->sync());
        const QList<QStringList> got = bob->received(u"SND"_s);
        QCOMPARE(got.size(), kCount);
        for (int i = 0; i < kCount; ++i)
            QVERIFY2(got[i].value(1).contains(u"n%1."_s.arg(i)), qPrintable(got[i].value(1)));
        QCOMPARE(carol->received(u"SND"_s).size(), toCarol ? kCount : 0);
        QCOMPARE(erin->received(u"SND"_s).size(), toErin ? kCount : 0);
    }

    void otherLogOnAcrossNodes()
    {
        auto first = logOn(a_, u"DAVE"_s);
        QVERIFY(first);
        auto second = logOn(b_, u"DAVE"_s);
        QVERIFY(second);
        QVERIFY(!first->take(u"OtLog"_s).isEmpty());
        QVERIFY(first->waitForClose());
        // And messages now reach the new session only.
        auto alice = logOn(a_, u"ALICE"_s);
        QVERIFY(alice);
        alice->send("SND~ALICE1~After the move~DAVE1~NOONE");
        QVERIFY(!second->take(u"SND"_s).isEmpty());
    }

    // Every message node A accepted reaches the recipient once: from the killed node before it
    // died, or through the node the recipient logs on to again.
    void killedNodeLosesNothing()
    {
        auto alice = logOn(a_, u"ALICE"_s);
        auto bob = logOn(b_, u"BOB"_s);
        QVERIFY(alice && bob);
        constexpr int kCount = 40;
        for (int i = 0; i < kCount; ++i) {
            if (i == kCount / 2)
                b_.signal(SIGKILL);
            alice->send(u"SND~ALICE1~k%1.~BOB2~NOONE"_s.arg(i).toLatin1());
        }
        QVERIFY(alice->sync());
        QVERIFY(bob->waitForClose());
        b_.kill();
        QVERIFY(b_.start(database_));
        auto again = logOn(b_, u"BOB"_s);
        QVERIFY(again);
        const auto all = [&] {
            return bob->received(u"SND"_s) + again->received(u"SND"_s) + again->received(u"OffL"_s);
        };
        QVERIFY(waitFor([&] { return all().size() >= kCount; }));
        QVERIFY(again->sync());
        for (int i = 0; i < kCount; ++i)
            QCOMPARE(countOf(all(), u"k%1."_s.arg(i)), 1);
    }

    void cleanupTestCase()
    {
        if (a_.running())
            QCOMPARE(a_.stop(), 0);
        if (b_.running())
            QCOMPARE(b_.stop(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServerNodes)
#include "tst_servernodes.moc"
