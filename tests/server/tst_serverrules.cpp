// Names, passwords, versions, addresses, addressing by level and control characters as the
// server reads them, and the key derivation of its password hashes. The framing of what it
// sends is checked end to end by the routing and robustness tests.
#include "base/Crypto.h"
#include "base/ServerRules.h"
#include "routing/CheckQueue.h"
#include "routing/LogOnGate.h"

#include <QMutex>
#include <QPasswordDigestor>
#include <QSemaphore>
#include <QTest>

using namespace wispline::server;

class TestServerRules : public QObject
{
    Q_OBJECT
private slots:
    void versionOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        const auto row = [](const char* tag, const char* a, const char* b, int order) {
            QTest::newRow(tag) << QString(a) << QString(b) << order;
        };
        row("equal", "1.1.1", "1.1.1", 0);
        row("numeric not textual", "1.10.0", "1.9.3", 1);
        row("missing parts are zero", "2", "2.0.0", 0);
        row("unreadable is oldest", "abc", "0.0.1", -1);
        row("four parts are unreadable", "1.2.3.4", "1.0.0", -1);
        row("empty part is unreadable", "1..3", "0.0.0", -1);
    }

    void versionOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(compareVersions(a, b), order);
        QCOMPARE(compareVersions(b, a), -order);
    }

    // Blank and terminator-holding passwords are refused end to end by the routing test.
    void passwords_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("Latin-1 letter") << QString::fromLatin1("m\xfcnze") << true;
        QTest::newRow("separator") << "pass~word" << false;
        QTest::newRow("control character") << "pass\tword" << false;
        QTest::newRow("euro sign of the code page") << QStringLiteral("pass\u20acword") << true;
        QTest::newRow("beyond the code page") << QStringLiteral("pass\u0100word") << false;
        QTest::newRow("64 characters, the longest") << QString(64, u'p') << true;
        QTest::newRow("65 characters") << QString(65, u'p') << false;
    }

    void passwords()
    {
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        QCOMPARE(passwordProblem(password).isEmpty(), accepted);
    }

    // Hashes stored by earlier servers (derived by Qt) stay valid with OpenSSL's derivation:
    // each row is derived both ways, and the published vectors pin both down.
    // The order password checks start in, one at a time: check 1 runs until the steps below
    // are done, then the others run. Steps: "ask N" (a log-on of user N), "leave N" (its client
    // hangs up), "rejoin N" (a new connection of the same user asks again).
    void checkOrder_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("order"); // the first checks to run, in their order
        QTest::newRow("in the order asked") << QStringList{"ask 2", "ask 3"} << "1,2,3";
        QTest::newRow("one whose client went waits behind one still asked for")
            << QStringList{"ask 2", "ask 3", "leave 2"} << "1,3";
        QTest::newRow("one whose client came back keeps its place")
            << QStringList{"ask 2", "ask 3", "leave 2", "rejoin 2"} << "1,2,3";
    }

    void checkOrder()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, order);
        LogOnGate gate;
        CheckQueue queue(this, gate);
        queue.setLimits(1, 1, 0, 0);
        QSemaphore first;
        QMutex lock;
        QStringList ran;
        QStringList answered;
        const auto answer = [&](int user) {
            return
                [&answered, user](const PasswordCheck&) { answered.append(QString::number(user)); };
        };
        const auto ask = [&](int user) {
            CheckQueue::Job job;
            job.address = QStringLiteral("127.0.0.%1").arg(user);
            job.name = QStringLiteral("U%1").arg(user);
            job.key = job.name.toLatin1();
            job.work = [&, user] {
                if (user == 1)
                    first.acquire();
                const QMutexLocker locked(&lock);
                ran.append(QString::number(user));
            };
            queue.ask(quint64(user), std::move(job), answer(user));
        };
        ask(1);
        QTRY_COMPARE(queue.running(), 1);
        for (const QString& step : steps) {
            const int user = step.section(u' ', 1).toInt();
            if (step.startsWith(u"ask"))
                ask(user);
            else if (step.startsWith(u"leave"))
                QVERIFY(queue.leave(quint64(user)));
            else {
                std::shared_ptr<const PasswordCheck> kept;
                QVERIFY(queue.join(quint64(user) + 100, QByteArray("U") + QByteArray::number(user),
                                   answer(user), &kept));
            }
        }
        first.release();
        // The last one asked for is answered once those before it in the order ran.
        const QString last = order.section(u',', -1);
        QTRY_VERIFY(answered.contains(last));
        const QMutexLocker locked(&lock);
        QCOMPARE(ran.mid(0, int(order.count(u',')) + 1).join(u','), order);
    }

    void keyDerivation_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<int>("iterations");
        QTest::addColumn<QByteArray>("known"); // hex; empty where no vector is published
        QTest::newRow("published vector, 1 round")
            << QByteArray("password") << QByteArray("salt") << 1
            << QByteArray("120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
        QTest::newRow("published vector, 4096 rounds")
            << QByteArray("password") << QByteArray("salt") << 4096
            << QByteArray("c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
        QTest::newRow("code page bytes, binary salt")
            << QByteArray("m\xfcnze\x80") << QByteArray("\0\xff\x10salt\x7f", 9) << 1000
            << QByteArray();
        QTest::newRow("password longer than a SHA-256 block")
            << QByteArray(100, 'p') << QByteArray(16, 's') << 1000 << QByteArray();
        QTest::newRow("empty password")
            << QByteArray() << QByteArray(16, 's') << 1000 << QByteArray();
    }

    void keyDerivation()
    {
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, salt);
        QFETCH(int, iterations);
        QFETCH(QByteArray, known);
        const QByteArray derived = crypto::pbkdf2Sha256(password, salt, iterations);
        QCOMPARE(derived.toHex(), QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256,
                                                                     password, salt, iterations, 32)
                                      .toHex());
        if (!known.isEmpty())
            QCOMPARE(derived.toHex(), known);
    }

    void addresses_data()
    {
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<QByteArray>("name"); // empty when the address is refused
        QTest::addColumn<int>("level");
        QTest::newRow("level 2") << QByteArray("bob2") << QByteArray("BOB") << 2;
        QTest::newRow("name ending in a digit") << QByteArray("R2D23") << QByteArray("R2D2") << 3;
        QTest::newRow("level 4") << QByteArray("bob4") << QByteArray() << 0;
        QTest::newRow("digit only") << QByteArray("2") << QByteArray() << 0;
        QTest::newRow("no digit") << QByteArray("bob") << QByteArray() << 0;
    }

    void addresses()
    {
        QFETCH(QByteArray, address);
        QFETCH(QByteArray, name);
        QFETCH(int, level);
        QByteArray gotName;
        int gotLevel = 0;
        QCOMPARE(splitAddress(address, &gotName, &gotLevel), !name.isEmpty());
        if (!name.isEmpty())
            QCOMPARE(std::pair(gotName, gotLevel), std::pair(name, level));
    }

    // What the client of each level can address: its layout shows Level 1 and 2 users all
    // lists and "All Level2 Users", Level 2 users all lists and "All Level3 Users", Level 3
    // users the Level 1 list (one entry at a time) and the Level 2 list; a reply selects one
    // entry of any list.
    void addressing_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QByteArray>("recipients");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<bool>("allowed");
        const auto row = [](const char* tag, int level, const QByteArray& recipients,
                            const char* code, bool allowed) {
            QTest::newRow(tag) << level << recipients << QByteArray(code) << allowed;
        };
        row("level 1 to several level 3 users", 1, "A3,B3", "NOONE", true);
        row("level 1 to all level 2", 1, "NOONE", "L2A", true);
        row("level 1 to all level 3", 1, "NOONE", "L3A", false);
        row("level 2 to all level 3", 2, "NOONE", "L3A", true);
        row("level 2 to all level 2", 2, "NOONE", "L2A", false);
        row("level 3 to several level 2 users", 3, "A2,B2", "NOONE", true);
        row("level 3 to one level 1 user", 3, "A1", "NOONE", true);
        row("level 3 to two level 1 users", 3, "A1,B1", "NOONE", false);
        row("level 3 replying to one level 3 user", 3, "A3", "NOONE", true);
        row("level 3 to two level 3 users", 3, "A3,B3", "NOONE", false);
        row("level 3 to all level 3", 3, "NOONE", "L3A", false);
        row("users of two lists", 1, "A1,B2", "NOONE", false);
        row("names beside a group code", 1, "A2", "L2A", false);
        row("under selected level 2 users, never offered", 1, "A2", "L2S", false);
        row("unknown code", 1, "A1", "XYZ", false);
        row("no destination", 1, "NOONE", "NOONE", false);
        row("empty address", 1, "A1,,B1", "NOONE", false);
        row("address without a level", 1, "A1,B", "NOONE", false);
        QByteArray many = "U1";
        for (int i = 1; i < kMaxRecipients; ++i)
            many += ",U1";
        row("as many recipients as allowed", 1, many, "NOONE", true);
        row("one recipient too many", 1, many + ",V1", "NOONE", false);
    }

    void addressing()
    {
        QFETCH(int, level);
        QFETCH(QByteArray, recipients);
        QFETCH(QByteArray, code);
        QFETCH(bool, allowed);
        QCOMPARE(addressingProblem(level, recipients, code) == nullptr, allowed);
    }

    // C0 controls, DEL and the C1 controls of the code page's five undefined bytes become
    // spaces; its printable characters at 0x80-0x9F stay.
    void controlsBlanked_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QByteArray>("blanked");
        QTest::newRow("forged line") << QByteArray("ok\r\nBOB <- x") << QByteArray("ok  BOB <- x");
        QTest::newRow("NUL, BEL, DEL") << QByteArray("a\0b\ac\x7f", 6) << QByteArray("a b c ");
        QTest::newRow("C1 control and euro sign")
            << QByteArray("\x81\x80\x9d") << QByteArray(" \x80 ");
    }

    void controlsBlanked()
    {
        QFETCH(QByteArray, field);
        QFETCH(QByteArray, blanked);
        blankControls(field);
        QCOMPARE(field, blanked);
    }
};

QTEST_GUILESS_MAIN(TestServerRules)
#include "tst_serverrules.moc"
