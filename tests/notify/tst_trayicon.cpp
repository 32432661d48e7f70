#include "notify/TrayIcon.h"

#include <QSystemTrayIcon>
#include <QWidget>
#include <QtTest>

using wispline::TrayIcon;

class tst_TrayIcon : public QObject
{
    Q_OBJECT

private slots:
    void tipText_data();
    void tipText();
    void installsOnceAndRemovesSafely();
};

void tst_TrayIcon::tipText_data()
{
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QString>("tip");
    const QString prefix = QStringLiteral("Wispline of ");
    QTest::newRow("short name") << QStringLiteral(" ravi ") << prefix + QStringLiteral(" ravi ");
    QTest::newRow("empty name") << QString() << prefix;
    QTest::newRow("51 characters shown whole")
        << QString(51, QLatin1Char('a')) << prefix + QString(51, QLatin1Char('a'));
    QTest::newRow("52 characters lose the last") << QString(51, QLatin1Char('b')) + QLatin1Char('Z')
                                                 << prefix + QString(51, QLatin1Char('b'));
    QTest::newRow("very long name cut to 63")
        << QString(200, QLatin1Char('c')) << prefix + QString(51, QLatin1Char('c'));
}

void tst_TrayIcon::tipText()
{
    QFETCH(QString, userName);
    QFETCH(QString, tip);
    QCOMPARE(TrayIcon::tipText(userName), tip);
}

void tst_TrayIcon::installsOnceAndRemovesSafely()
{
    QWidget window;
    TrayIcon tray;
    tray.remove(); // nothing to remove yet
    QVERIFY(!tray.isInstalled());

    tray.install(&window, QStringLiteral("meera"));
    QVERIFY(tray.isInstalled());
    // Without a notification area the client runs on, showing nothing.
    QCOMPARE(tray.isShown(), QSystemTrayIcon::isSystemTrayAvailable());
    tray.install(&window, QStringLiteral("someone else")); // the tip never changes in a run
    QCOMPARE(tray.toolTip(), QStringLiteral("Wispline of meera"));

    tray.remove();
    tray.remove();
    QVERIFY(!tray.isInstalled());
    QVERIFY(!tray.isShown());
}

QTEST_MAIN(tst_TrayIcon)
#include "tst_trayicon.moc"
