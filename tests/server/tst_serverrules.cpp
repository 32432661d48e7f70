// Names, passwords, versions, addresses and the framing of what the server sends.
#include "ServerRules.h"

#include <QTest>

using namespace wispline::server;

class TestServerRules : public QObject
{
    Q_OBJECT
private slots:
    void versionOrder_data();
    void versionOrder();
    void passwords_data();
    void passwords();
    void addresses_data();
    void addresses();
    void framingNeverLeaksSeparators();
};

void TestServerRules::versionOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("order");
    QTest::newRow("equal") << "1.1.1"
                           << "1.1.1" << 0;
    QTest::newRow("numeric not textual") << "1.10.0"
                                         << "1.9.3" << 1;
    QTest::newRow("revision decides") << "2.0.1"
                                      << "2.0.2" << -1;
    QTest::newRow("missing parts are zero") << "2"
                                            << "2.0.0" << 0;
    QTest::newRow("unreadable is oldest") << "abc"
                                          << "0.0.1" << -1;
    QTest::newRow("four parts are unreadable") << "1.2.3.4"
                                               << "1.0.0" << -1;
    QTest::newRow("empty part is unreadable") << "1..3"
                                              << "0.0.0" << -1;
}

void TestServerRules::versionOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, order);
    QCOMPARE(compareVersions(a, b), order);
    QCOMPARE(compareVersions(b, a), -order);
}

void TestServerRules::passwords_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("plain") << "s3cret" << true;
    QTest::newRow("Latin-1 letter") << QString::fromLatin1("m\xfcnze") << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("blanks only") << "   " << false;
    QTest::newRow("terminator would break the reply") << "pass`word" << false;
    QTest::newRow("separator") << "pass~word" << false;
    QTest::newRow("control character") << "pass\tword" << false;
    QTest::newRow("euro sign of the code page") << QStringLiteral("pass\u20acword") << true;
    QTest::newRow("beyond the code page") << QStringLiteral("pass\u0100word") << false;
}

void TestServerRules::passwords()
{
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    QCOMPARE(passwordProblem(password).isEmpty(), accepted);
}

void TestServerRules::addresses_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("level");
    QTest::newRow("level 2") << QByteArray("bob2") << true << QByteArray("BOB") << 2;
    QTest::newRow("name ending in a digit")
        << QByteArray("R2D23") << true << QByteArray("R2D2") << 3;
    QTest::newRow("level 4") << QByteArray("bob4") << false << QByteArray() << 0;
    QTest::newRow("digit only") << QByteArray("2") << false << QByteArray() << 0;
    QTest::newRow("no digit") << QByteArray("bob") << false << QByteArray() << 0;
}

void TestServerRules::addresses()
{
    QFETCH(QByteArray, address);
    QFETCH(bool, ok);
    QFETCH(QByteArray, name);
    QFETCH(int, level);
    QByteArray gotName;
    int gotLevel = 0;
    QCOMPARE(splitAddress(address, &gotName, &gotLevel), ok);
    if (ok) {
        QCOMPARE(gotName, name);
        QCOMPARE(gotLevel, level);
    }
}

void TestServerRules::framingNeverLeaksSeparators()
{
    QCOMPARE(frame({"LIU", "ALICE", "1"}), QByteArray("LIU~ALICE~1~ExitEnd`"));
    QCOMPARE(frame({"USRS"}), QByteArray("USRS~ExitEnd`"));
    // A body carrying the terminator would end the recipient's message early.
    const QByteArray body = sanitizeField("hi`OtLog~x");
    QVERIFY(!body.contains('`'));
    QVERIFY(!body.contains('~'));
    QCOMPARE(displayText("ALICE", "Lunch at one?", "10:32:15"),
             QByteArray("ALICE <- Lunch at one? [10:32:15]"));
}

QTEST_GUILESS_MAIN(TestServerRules)
#include "tst_serverrules.moc"
