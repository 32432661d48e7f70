// Two server nodes on one PostgreSQL database: routing between them, a log-on on one ending the
// session on the other, a node killed or stopped with messages in flight, and the database
// restarted under them. Runs beside the throwaway cluster of scripts/with-postgres.sh, skipped
// without it.
#include "ServerHarness.h"

#include <QScopeGuard>
#include <QSet>
#include <QStandardPaths>
#include <memory>

using namespace wispline::server::test;
using namespace Qt::StringLiterals;

namespace
{

const QList<QStringList> kUsers{{"ALICE", "alice1", "1"},      {"BOB", "bob2", "2"},
                                {"CAROL", "carol2", "2"},      {"DAVE", "dave1", "1"},
                                {"ERIN", "erin3", "3", "BOB"}, {"FRAN", "fran1", "1"}};

int countOf(const QList<QStringList>& messages, const QString& body)
{
    return int(std::count_if(messages.cbegin(), messages.cend(),
                             [&](const QStringList& m) { return m.value(1).contains(body); }));
}

// The user list a client shows: every USRS and LGO received so far, in order.
QSet<QString> listOf(WireClient& client)
{
    QSet<QString> list;
    for (const QStringList& m : client.messages()) {
        for (const QString& address : m.mid(1, m.size() - 2)) {
            if (m.value(0) == u"USRS"_s)
                list.insert(address);
            else if (m.value(0) == u"LGO"_s)
                list.remove(address);
        }
    }
    return list;
}

// Runs statements on the database with psql; true when all went through.
bool psql(const QString& database, const QString& statements)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(u"psql"_s,
            {u"-X"_s, u"-q"_s, u"-v"_s, u"ON_ERROR_STOP=1"_s, u"-c"_s, statements, database});
    return p.waitForFinished(kWaitMs) && exitCodeOf(p) == 0;
}

} // namespace

class TestServerNodes : public QObject
{
    Q_OBJECT

    QString database_;
    ServerProcess a_;
    ServerProcess b_;

    // As root, the test runs in a network namespace of its own, and the clients of a lost node
    // reach it through a balancer: a DNAT rule from one address to the node it points at.
    QString iptables_;
    static constexpr quint16 kBalancerPort = 30609;

    // node: nullptr for the node the balancer points at (the node itself without one).
    std::unique_ptr<WireClient> logOn(const ServerProcess* node, const QString& name)
    {
        const QStringList& u =
            *std::find_if(kUsers.cbegin(), kUsers.cend(), [&](auto& u) { return u[0] == name; });
        auto c = std::make_unique<WireClient>();
        const bool ok = node ? c->logOnAt(node->port(), u[0], u[1])
                             : c->logOnAt(kBalancerPort, u[0], u[1], {}, u"127.1.1.1"_s);
        return ok ? std::move(c) : nullptr;
    }
    std::unique_ptr<WireClient> logOn(const ServerProcess& node, const QString& name)
    {
        return logOn(iptables_.isEmpty() || &node != balanced_ ? &node : nullptr, name);
    }
    // New connections go to node; those made before keep theirs, as with any balancer.
    void balanceTo(const ServerProcess& node)
    {
        balanced_ = &node;
        if (iptables_.isEmpty())
            return;
        QProcess::execute(iptables_, {u"-t"_s, u"nat"_s, u"-F"_s, u"OUTPUT"_s});
        QProcess::execute(iptables_,
                          {u"-t"_s, u"nat"_s, u"-A"_s, u"OUTPUT"_s, u"-p"_s, u"tcp"_s, u"-d"_s,
                           u"127.1.1.1"_s, u"--dport"_s, QString::number(kBalancerPort), u"-j"_s,
                           u"DNAT"_s, u"--to-destination"_s, u"127.0.0.1:%1"_s.arg(node.port())});
    }
    const ServerProcess* balanced_ = nullptr;

private slots:
    void initTestCase()
    {
        database_ = qEnvironmentVariable("WISPLINE_PG_URL");
        if (database_.isEmpty())
            QSKIP("needs the PostgreSQL cluster of scripts/with-postgres.sh");
        if (!QSqlDatabase::isDriverAvailable(u"QPSQL"_s))
            QSKIP("Qt's PostgreSQL driver (libqt6sql6-psql) is not installed");
        // Through the cluster's Unix socket, as an address host and as a parameter.
        const QUrl url(database_);
        const QString socket = qEnvironmentVariable("WISPLINE_PG_SOCKET_DIR");
        const QString viaSocket[] = {u"postgresql://"_s + url.userName() + u'@' +
                                         QString::fromLatin1(QUrl::toPercentEncoding(socket)) +
                                         u':' + QString::number(url.port()) + url.path(),
                                     u"%1?host=%2&application_name=admin"_s.arg(database_, socket)};
        for (const QStringList& u : kUsers)
            QCOMPARE(addUser(viaSocket[kUsers.indexOf(u) % 2], u).exitCode, 0);
        QVERIFY(a_.start(database_, {"--admin", "127.0.0.1:0"}));
        QVERIFY(b_.start(database_));
        if (qEnvironmentVariable("WISPLINE_NETNS") == u"1"_s)
            iptables_ = QStandardPaths::findExecutable(u"iptables"_s, {u"/usr/sbin"_s, u"/sbin"_s});
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
        // In each other's user lists. Carol may reach Bob's node after Bob's first list does,
        // then as a newcomer: either way she is in the list Bob shows.
        QVERIFY(!alice->take(u"USRS"_s, u"BOB2"_s).isEmpty());
        QVERIFY(waitFor([&] { return listOf(*bob).contains(u"CAROL2"_s); }));
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
        // Sent before Alice's node has heard where Dave went, it is kept for him and handed to
        // the new session from the queue: either way it reaches that session.
        QVERIFY(waitFor([&] {
            for (const QString& command : {u"SND"_s, u"OffL"_s}) {
                for (const QStringList& m : second->received(command))
                    if (m.value(1).contains(u"After the move"_s))
                        return true;
            }
            return false;
        }));
    }

    void aLostNodeLosesNothing_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("killed, its inbox held locked by psql: reset, found dead, nothing lost")
            << int(SIGKILL);
        QTest::newRow("stopped while another lives: handed over, nothing lost") << int(SIGTERM);
    }

    // Every message node A accepted reaches the recipient once: from the lost node before it went,
    // or through the node the recipient logs on to again. Either way the lost node's clients read
    // a reset, never an orderly end that would end their programs, and the others hear they left.
    void aLostNodeLosesNothing()
    {
        QFETCH(int, signalNumber);
        balanceTo(b_);
        auto alice = logOn(a_, u"ALICE"_s);
        auto bob = logOn(b_, u"BOB"_s);
        QVERIFY(alice && bob && bob->sync());
        bob->detach();
        constexpr int kCount = 40;
        for (int i = 0; i < kCount; ++i) {
            if (i == kCount / 2)
                b_.signal(signalNumber);
            alice->send(u"SND~ALICE1~k%1.~BOB2~NOONE"_s.arg(i).toLatin1());
        }
        QVERIFY(alice->sync());
        QByteArray before;
        QCOMPARE(bob->readToEnd(&before), u"reset"_s);
        QVERIFY(!before.contains("SHT~"));
        // A session of the dead node's, left holding its inbox rows, stops nobody's heartbeat.
        QProcess psql;
        if (signalNumber == SIGKILL) {
            QVERIFY(waitFor([&] {
                return sqlRow(database_, u"SELECT count(*) FROM inbox WHERE recipient = 'BOB'"_s)
                           .value(0)
                           .toInt() > 0;
            }));
            psql.start(u"psql"_s, {u"-X"_s, database_});
            psql.write("BEGIN; SELECT 'held' FROM inbox WHERE recipient = 'BOB' FOR UPDATE;\n");
            QVERIFY(waitFor([&] { return psql.readAllStandardOutput().contains("held"); }));
        }
        QVERIFY(!alice->take(u"LGO"_s, u"BOB2"_s).isEmpty());
        psql.closeWriteChannel(); // the transaction ends with the session
        psql.waitForFinished(kWaitMs);
        if (signalNumber == SIGKILL)
            b_.kill();
        else
            QCOMPARE(b_.waitForExit(), 0);
        // The client reconnects, and the balancer sends it to the node that lives.
        balanceTo(a_);
        auto again = logOn(a_, u"BOB"_s);
        QVERIFY(again);
        const auto count = [&](int i) {
            const QString body = u"k%1."_s.arg(i);
            return int(before.count(body.toLatin1())) + countOf(again->received(u"SND"_s), body) +
                   countOf(again->received(u"OffL"_s), body);
        };
        QVERIFY(waitFor([&] {
            for (int i = 0; i < kCount; ++i)
                if (count(i) == 0)
                    return false;
            return true;
        }));
        QVERIFY(again->sync());
        for (int i = 0; i < kCount; ++i)
            QCOMPARE(count(i), 1);
        QVERIFY(b_.start(database_));
    }

    // A node stalled past the expiry is taken for dead, then heals: a user who logged on to the
    // other node meanwhile keeps that session, the others are everyone's again, what was sent to
    // them meanwhile arrives, and both sides' lists agree. What waited in the stalled node's
    // inbox when it was taken for dead went to the offline queue: it arrives too, without a new
    // log-on, though nothing was sent to its recipient after the takeover.
    void aStalledNodeHeals()
    {
        auto alice = logOn(a_, u"ALICE"_s);
        auto bob = logOn(b_, u"BOB"_s);
        auto erin = logOn(b_, u"ERIN"_s);
        auto fran = logOn(b_, u"FRAN"_s);
        QVERIFY(alice && bob && erin && fran);
        const auto has = [&](WireClient& c, const QStringList& addresses) {
            return waitFor(
                [&] { return listOf(c).contains(QSet(addresses.cbegin(), addresses.cend())); });
        };
        QVERIFY(has(*alice, {u"BOB2"_s, u"ERIN3"_s, u"FRAN1"_s}) && has(*bob, {u"ALICE1"_s}));
        b_.signal(SIGSTOP);
        const auto resume = qScopeGuard([&] { b_.signal(SIGCONT); });
        alice->send("SND~ALICE1~before the takeover~FRAN1~NOONE");
        QVERIFY(waitFor([&] {
            return sqlRow(database_, u"SELECT COUNT(*) FROM inbox WHERE text LIKE "
                                     u"'%before the takeover%'"_s) == QVariantList{1};
        }));
        QVERIFY(waitFor([&] { return !listOf(*alice).contains(u"BOB2"_s); }));
        auto dave = logOn(a_, u"DAVE"_s);
        auto erinHere = logOn(a_, u"ERIN"_s);
        QVERIFY(dave && erinHere);
        alice->send("SND~ALICE1~while stalled~BOB2~NOONE");
        QVERIFY(alice->sync());
        b_.signal(SIGCONT);

        QVERIFY(!erin->take(u"OtLog"_s).isEmpty());
        QVERIFY(has(*alice, {u"BOB2"_s, u"ERIN3"_s, u"DAVE1"_s}));
        QVERIFY(has(*bob, {u"ALICE1"_s, u"DAVE1"_s, u"ERIN3"_s}));
        QVERIFY(!bob->take(u"OffL"_s).value(1).isEmpty());
        QVERIFY(waitFor([&] {
            return countOf(fran->received(u"OffL"_s), u"ALICE <- before the takeover"_s) == 1;
        }));
        alice->send("SND~ALICE1~after the stall~BOB2~NOONE");
        alice->send("SND~ALICE1~after the stall~FRAN1~NOONE");
        QVERIFY(bob->take(u"SND"_s).value(1).contains(u"after the stall"_s));
        QVERIFY(fran->take(u"SND"_s).value(1).contains(u"after the stall"_s));
        QCOMPARE(countOf(bob->received(u"OffL"_s) + bob->received(u"SND"_s), u"while stalled"_s),
                 0);
        QCOMPARE(
            countOf(fran->received(u"OffL"_s) + fran->received(u"SND"_s), u"before the takeover"_s),
            1);
    }

    // Messages for a user of another node that the database would not take when their node
    // stopped (the inbox held locked by another program) are kept in the node's spill file; once
    // the node is started again they reach the user, each once, as messages kept for it.
    void messagesForAnotherNodeOutliveAStop()
    {
        if (!b_.running())
            QVERIFY(b_.start(database_));
        auto bob = logOn(b_, u"BOB"_s);
        auto alice = logOn(a_, u"ALICE"_s);
        // Node A knows where BOB is, so its messages for him go through its queue for other
        // nodes; the database knows too, so node B hears when his queue grows.
        QVERIFY(alice && bob && waitFor([&] { return listOf(*alice).contains(u"BOB2"_s); }));
        QVERIFY(!sqlRow(database_, u"SELECT node FROM presence WHERE name = 'BOB'"_s).isEmpty());
        QProcess psql;
        psql.start(u"psql"_s, {u"-X"_s, database_});
        psql.write("BEGIN; LOCK TABLE inbox IN SHARE MODE; SELECT 'held';\n");
        QVERIFY(waitFor([&] { return psql.readAllStandardOutput().contains("held"); }));
        constexpr int kCount = 8;
        for (int i = 0; i < kCount; ++i)
            alice->send(u"SND~ALICE1~s%1.~BOB2~NOONE"_s.arg(i).toLatin1());
        QVERIFY(alice->sync());
        QCOMPARE(a_.stop(), 0);
        psql.closeWriteChannel(); // the lock goes with the session
        QVERIFY(psql.waitForFinished(kWaitMs));
        QVERIFY(a_.start(database_, {"--admin", "127.0.0.1:0"}));
        balanceTo(a_); // on its new port
        QVERIFY(HttpRequest(a_.adminPort(), "/metrics")
                    .body()
                    .contains("\nwispline_store_replayed_rows_total 8\n"));
        const auto count = [&](int i) {
            const QString body = u"s%1."_s.arg(i);
            return countOf(bob->received(u"SND"_s), body) + countOf(bob->received(u"OffL"_s), body);
        };
        QVERIFY(waitFor([&] {
            for (int i = 0; i < kCount; ++i)
                if (count(i) == 0)
                    return false;
            return true;
        }));
        QVERIFY(bob->sync());
        for (int i = 0; i < kCount; ++i)
            QCOMPARE(count(i), 1);
        QCOMPARE(sqlRow(database_, u"SELECT COUNT(*) FROM messages WHERE body LIKE 's%.'"_s),
                 QVariantList{kCount});
    }

    // The operator's announced end reaches the users of every node, each told and closed in
    // order, and every node stops with status 0; a node started after it serves as usual.
    void anAnnouncedStopReachesEveryNode()
    {
        if (!b_.running())
            QVERIFY(b_.start(database_));
        auto alice = logOn(a_, u"ALICE"_s);
        auto bob = logOn(b_, u"BOB"_s);
        QVERIFY(alice && bob && alice->sync() && bob->sync());
        alice->detach();
        bob->detach();
        QCOMPARE(
            runAdmin(database_, {u"--announce-shutdown"_s, u"Closed for the night"_s}).exitCode, 0);
        for (WireClient* c : {alice.get(), bob.get()}) {
            QByteArray last;
            QCOMPARE(c->readToEnd(&last), u"close"_s);
            QVERIFY2(last.contains("SHT~Closed for the night~ExitEnd`"), last.constData());
        }
        QCOMPARE(a_.waitForExit(), 0);
        QCOMPARE(b_.waitForExit(), 0);
        QVERIFY(a_.start(database_, {"--admin", "127.0.0.1:0"}) && b_.start(database_));
        balanceTo(a_);
        QVERIFY(logOn(a_, u"ALICE"_s) && logOn(b_, u"BOB"_s));
    }

    // PostgreSQL restarts under traffic: a right log-on is held meanwhile, never refused, and
    // let in once it is back; every message kept for an offline user across it arrives once,
    // one holding a NUL byte included.
    void aDatabaseRestartLosesNothing()
    {
        const QStringList pgCtl =
            qEnvironmentVariable("WISPLINE_PG_CTL").split(u' ', Qt::SkipEmptyParts);
        const QString data = qEnvironmentVariable("WISPLINE_PG_DATA");
        if (pgCtl.isEmpty())
            QSKIP("needs the pg_ctl of scripts/with-postgres.sh");
        if (!b_.running())
            QVERIFY(b_.start(database_));
        auto alice = logOn(a_, u"ALICE"_s);
        QVERIFY(alice);
        constexpr int kCount = 12;
        QProcess restart;
        for (int i = 0; i < kCount; ++i) {
            if (i == kCount / 3) {
                restart.start(pgCtl[0], pgCtl.mid(1) +
                                            QStringList{u"-D"_s, data, u"-l"_s, data + u".log"_s,
                                                        u"-m"_s, u"fast"_s, u"-w"_s, u"restart"_s});
                QVERIFY(restart.waitForStarted());
            }
            if (i == 2 * kCount / 3) {
                QVERIFY(restart.waitForFinished(kWaitMs));
                QCOMPARE(restart.exitCode(), 0);
            }
            alice->send("SND~ALICE1~r" + QByteArray::number(i) + '.' + QByteArray(1, '\0') +
                        "~FRAN1~NOONE");
        }
        QVERIFY(alice->sync());
        WireClient carol;
        QVERIFY(carol.connectTo(a_.port()));
        QCOMPARE(carol.logOn(u"CAROL"_s, u"carol2"_s).value(0), u"LIU"_s);
        // Written once the database is back, whichever node FRAN logs on to.
        QVERIFY(waitFor([&] {
            return sqlRow(database_, u"SELECT COUNT(*) FROM offline WHERE recipient = 'FRAN'"_s)
                       .value(0)
                       .toInt() == kCount;
        }));
        auto fran = logOn(b_, u"FRAN"_s);
        QVERIFY(fran);
        QVERIFY(waitFor([&] { return fran->received(u"OffL"_s).size() >= kCount; }));
        QVERIFY(fran->sync());
        const QList<QStringList> got = fran->received(u"OffL"_s);
        QCOMPARE(got.size(), kCount);
        for (int i = 0; i < kCount; ++i)
            QCOMPARE(countOf(got, u"r%1. "_s.arg(i)), 1);
    }

    // On PostgreSQL ids become visible in the order their transactions commit. A message kept
    // for FRAN by node A commits late (a trigger holds its insert until told), after a later
    // one from node B that FRAN, logging on at a third node, reads and acknowledges at once:
    // the late one still reaches FRAN in that session, once, and leaves the queue only then.
    void aLateCommitIsNeitherSkippedNorLost()
    {
        QVERIFY(psql(database_, u"CREATE TABLE late_go(x int); "
                                "CREATE FUNCTION late_insert() RETURNS trigger LANGUAGE plpgsql AS "
                                "$$ DECLARE until timestamptz := clock_timestamp() + interval "
                                "'4 seconds'; BEGIN IF NEW.text LIKE '%late one%' THEN WHILE NOT "
                                "EXISTS (SELECT 1 FROM late_go) AND clock_timestamp() < until "
                                "LOOP PERFORM pg_sleep(0.02); END LOOP; END IF; RETURN NEW; END "
                                "$$; CREATE TRIGGER late BEFORE INSERT ON offline FOR EACH ROW "
                                "EXECUTE FUNCTION late_insert()"_s));
        const auto dropTrigger = qScopeGuard([&] {
            psql(database_, u"DROP TRIGGER late ON offline; DROP FUNCTION late_insert(); DROP "
                            "TABLE late_go"_s);
        });
        if (!b_.running())
            QVERIFY(b_.start(database_));
        ServerProcess c;
        QVERIFY(c.start(database_));
        auto alice = logOn(a_, u"ALICE"_s);
        auto carol = logOn(b_, u"CAROL"_s);
        QVERIFY(alice && carol);
        alice->send("SND~ALICE1~late one~FRAN1~NOONE");
        QVERIFY(waitFor([&] {
            return sqlRow(database_, u"SELECT count(*) FROM pg_stat_activity WHERE wait_event = "
                                     "'PgSleep'"_s)
                       .value(0)
                       .toInt() > 0;
        }));
        carol->send("SND~CAROL2~early one~FRAN1~NOONE");
        QVERIFY(waitFor([&] {
            return sqlRow(database_,
                          u"SELECT count(*) FROM offline WHERE text LIKE '%early one%'"_s)
                       .value(0)
                       .toInt() == 1;
        }));
        auto fran = logOn(&c, u"FRAN"_s);
        QVERIFY(fran);
        QVERIFY(!fran->take(u"OffL"_s).isEmpty());
        const bool stillWaiting =
            sqlRow(database_, u"SELECT count(*) FROM offline WHERE text LIKE '%late one%'"_s)
                .value(0)
                .toInt() == 0;
        QVERIFY(psql(database_, u"INSERT INTO late_go VALUES (1)"_s));
        QVERIFY(waitFor([&] { return countOf(fran->received(u"OffL"_s), u"late one"_s) > 0; }));
        QVERIFY(fran->sync());
        QCOMPARE(countOf(fran->received(u"OffL"_s), u"late one"_s), 1);
        QVERIFY(waitFor([&] {
            return sqlRow(database_, u"SELECT count(*) FROM offline WHERE recipient = 'FRAN'"_s)
                       .value(0)
                       .toInt() == 0;
        }));
        if (!stillWaiting)
            qWarning("the late row committed before FRAN logged on: the machine was too slow for "
                     "this test to show anything");
        fran.reset();
        QCOMPARE(c.stop(), 0);
    }

    // A cross-node message the database refuses for good (a CHECK constraint on inbox) is set
    // aside, and those behind it arrive, in order. One the database does not take for a while
    // (inbox locked) keeps the sending node out of readiness until it goes.
    void aRefusedCrossNodeRowIsSetAside()
    {
        QVERIFY(psql(database_, u"ALTER TABLE inbox ADD CONSTRAINT no_refused CHECK (text NOT "
                                "LIKE '%refused%') NOT VALID"_s));
        const auto dropCheck = qScopeGuard(
            [&] { psql(database_, u"ALTER TABLE inbox DROP CONSTRAINT no_refused"_s); });
        if (!b_.running())
            QVERIFY(b_.start(database_));
        auto alice = logOn(a_, u"ALICE"_s);
        auto bob = logOn(b_, u"BOB"_s);
        QVERIFY(alice && bob);
        QVERIFY(!alice->take(u"USRS"_s, u"BOB2"_s).isEmpty());
        constexpr int kCount = 10;
        constexpr int kRefused = 4;
        QByteArray all;
        for (int i = 0; i < kCount; ++i)
            all += "SND~ALICE1~x" + QByteArray::number(i) + (i == kRefused ? " refused" : " kept") +
                   "~BOB2~NOONE";
        alice->send(all); // one turn: one batch
        QVERIFY(waitFor([&] { return bob->received(u"SND"_s).size() >= kCount - 1; }));
        QVERIFY(bob->sync());
        const QList<QStringList> got = bob->received(u"SND"_s);
        QCOMPARE(got.size(), kCount - 1);
        for (int i = 0; i < kCount - 1; ++i)
            QVERIFY(
                got[i].value(1).startsWith(u"ALICE <- x%1 kept"_s.arg(i < kRefused ? i : i + 1)));
        QCOMPARE(sqlRow(database_, u"SELECT count(*), min(error) FROM set_aside WHERE kind = "
                                   "'cross-node'"_s),
                 (QVariantList{1, u"23514"_s}));
        QCOMPARE(HttpRequest(a_.adminPort(), "/readyz").status(), 200);

        bob->messages().clear();
        QProcess lock;
        lock.start(u"psql"_s, {u"-X"_s, database_});
        lock.write("BEGIN; LOCK TABLE inbox IN ACCESS EXCLUSIVE MODE; SELECT 'locked';\n");
        QVERIFY(waitFor([&] { return lock.readAllStandardOutput().contains("locked"); }));
        alice->send("SND~ALICE1~while locked~BOB2~NOONE");
        QVERIFY(waitFor([&] {
            return HttpRequest(a_.adminPort(), "/readyz")
                .body()
                .startsWith("messages for other nodes waiting");
        }));
        lock.closeWriteChannel(); // the lock ends with the session
        QVERIFY(lock.waitForFinished(kWaitMs));
        QVERIFY(bob->take(u"SND"_s).value(1).startsWith(u"ALICE <- while locked ["_s));
        QVERIFY(waitFor([&] { return HttpRequest(a_.adminPort(), "/readyz").status() == 200; }));
    }

    // What a node records for the others is tried again until the database takes it: a user
    // who leaves while the presence table is locked is no longer listed once the lock goes, and
    // a second log-on at another node while the inbox is locked still ends the first session.
    void whatANodeRecordsIsTriedUntilItHolds_data()
    {
        QTest::addColumn<QString>("table");
        QTest::newRow("leaving, presence locked") << u"presence"_s;
        QTest::newRow("a log-on elsewhere, inbox locked") << u"inbox"_s;
    }

    void whatANodeRecordsIsTriedUntilItHolds()
    {
        QFETCH(QString, table);
        ServerProcess here;
        ServerProcess there;
        QVERIFY(here.start(database_, {}, true) && there.start(database_, {}, true));
        auto dave = logOn(here, u"DAVE"_s);
        QVERIFY(dave && dave->sync());
        QProcess lock;
        lock.start(u"psql"_s, {u"-X"_s, database_});
        lock.write("BEGIN; LOCK TABLE " + table.toLatin1() +
                   " IN ACCESS EXCLUSIVE MODE; SELECT 'locked';\n");
        QVERIFY(waitFor([&] { return lock.readAllStandardOutput().contains("locked"); }));
        std::unique_ptr<WireClient> again;
        if (table == u"presence"_s) {
            dave->send("LOU~DAVE1");
            QVERIFY(dave->waitForClose());
        } else {
            again = logOn(there, u"DAVE"_s);
            QVERIFY(again);
        }
        // The node's statement gave up at its lock time-out, with the lock still held.
        QVERIFY(waitFor([&] {
            return (here.output() + there.output()).contains("tried again each second"_L1);
        }));
        lock.closeWriteChannel();
        QVERIFY(lock.waitForFinished(kWaitMs));
        if (table == u"presence"_s) {
            QVERIFY(waitFor([&] {
                return sqlRow(database_, u"SELECT count(*) FROM presence WHERE name = 'DAVE'"_s)
                           .value(0)
                           .toInt() == 0;
            }));
        } else {
            QVERIFY(!dave->take(u"OtLog"_s).isEmpty());
            QVERIFY(dave->waitForClose());
            again.reset();
        }
        QCOMPARE(here.stop(), 0);
        QCOMPARE(there.stop(), 0);
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
