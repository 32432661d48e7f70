// Names, passwords, versions and addresses as the server reads them. The framing of what it
// sends is checked end to end by the routing and robustness tests.
#include "ServerRules.h"

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
    }

    void passwords()
    {
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        QCOMPARE(passwordProblem(password).isEmpty(), accepted);
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
};

QTEST_GUILESS_MAIN(TestServerRules)
#include "tst_serverrules.moc"
