#include "notify/TrayIcon.h"

#include <QSystemTrayIcon>
#include <QWidget>
#include <QtTest>

using wispline::TrayIcon;

class tst_TrayIcon : public QObject
{
    Q_OBJECT

private slots:
    void tipText_data()
    {
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("tip");
        const QString prefix = QStringLiteral("Wispline of ");
        QTest::newRow("short name")
            << QStringLiteral(" ravi ") << prefix + QStringLiteral(" ravi ");
        QTest::newRow("empty name") << QString() << prefix;
        QTest::newRow("51 characters shown whole")
            << QString(51, QLatin1Char('a')) << prefix + QString(51, QLatin1Char('a'));
        QTest::newRow("52 characters lose the last")
            << QString(51, QLatin1Char('b')) + QLatin1Char('Z')
            << prefix + QString(51, QLatin1Char('b'));
    }

    void tipText()
    {
        QFETCH(QString, userName);
        QFETCH(QString, tip);
        QCOMPARE(TrayIcon::tipText(userName), tip);
    }

    void installsOnceAndRemovesSafely()
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

    void clickBringsTheWindowBack_data()
    {
        QTest::addColumn<int>("reason");
        QTest::addColumn<Qt::WindowStates>("before");
        QTest::addColumn<Qt::WindowStates>("after"); // empty: left alone
        QTest::newRow("click restores a minimised window")
            << int(QSystemTrayIcon::Trigger) << Qt::WindowStates(Qt::WindowMinimized)
            << Qt::WindowStates(Qt::WindowNoState);
        QTest::newRow("double click keeps it maximised")
            << int(QSystemTrayIcon::DoubleClick)
            << Qt::WindowStates(Qt::WindowMinimized | Qt::WindowMaximized)
            << Qt::WindowStates(Qt::WindowMaximized);
        QTest::newRow("click shows a hidden window")
            << int(QSystemTrayIcon::Trigger) << Qt::WindowStates() << Qt::WindowStates();
        QTest::newRow("context click changes nothing")
            << int(QSystemTrayIcon::Context) << Qt::WindowStates(Qt::WindowMinimized)
            << Qt::WindowStates(Qt::WindowMinimized);
    }

    void clickBringsTheWindowBack()
    {
        QFETCH(int, reason);
        QFETCH(Qt::WindowStates, before);
        QFETCH(Qt::WindowStates, after);
        QWidget window;
        window.setWindowState(before);
        if (before != Qt::WindowStates())
            window.show();
        TrayIcon tray;
        tray.install(&window, QStringLiteral("meera"));

        tray.activate(QSystemTrayIcon::ActivationReason(reason));

        QCOMPARE(window.windowState() & (Qt::WindowMinimized | Qt::WindowMaximized), after);
        QCOMPARE(window.isVisible(),
                 reason != QSystemTrayIcon::Context || before != Qt::WindowStates());
    }
};

QTEST_MAIN(tst_TrayIcon)
#include "tst_trayicon.moc"
