#include "app/StartOptions.h"

#include <QProcessEnvironment>
#include <QTest>
#include <QTextStream>

using namespace wispline;

class TestStartOptions : public QObject
{
    Q_OBJECT
private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // start of what is printed to standard output
        QTest::addColumn<QString>("err"); // start of what is printed to standard error
        QTest::addColumn<bool>("platformChosen");

        QTest::newRow("nothing: the window opens") << QStringList{"wispline"} << -1 << ""
                                                   << "" << false;
        QTest::newRow("--help") << QStringList{"wispline", "--help"} << 0 << "Usage:"
                                << "" << false;
        QTest::newRow("unknown option: error and usage")
            << QStringList{"wispline", "--server", "x"} << 2 << ""
            << "Unknown option 'server'." << false;
        QTest::newRow("stray argument") << QStringList{"wispline", "x"} << 2 << ""
                                        << "Unexpected argument: x" << false;
        QTest::newRow("Qt's own options are left to Qt")
            << QStringList{"wispline", "-platform", "xcb", "-style=fusion", "-reverse"} << -1 << ""
            << "" << true;
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QString outText, errText;
        QTextStream outStream(&outText), errStream(&errText);

        const StartOptions options = parseCommandLine(arguments, outStream, errStream);

        QTEST(options.exitCode, "exitCode");
        QTEST(options.platformChosen, "platformChosen");
        QVERIFY2(out.isEmpty() ? outText.isEmpty() : outText.startsWith(out), qPrintable(outText));
        QVERIFY2(err.isEmpty() ? errText.isEmpty() : errText.startsWith(err), qPrintable(errText));
        if (!err.isEmpty())
            QVERIFY(errText.contains(QStringLiteral("Usage:")));
    }

    void preferX11_data()
    {
        QTest::addColumn<QStringList>("environment"); // NAME=value
        QTest::addColumn<bool>("platformChosen");
        QTest::addColumn<bool>("expected");

        QTest::newRow("Wayland with XWayland")
            << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"} << false << true;
        QTest::newRow("session type says Wayland")
            << QStringList{"XDG_SESSION_TYPE=wayland", "DISPLAY=:1"} << false << true;
        QTest::newRow("Wayland without an X server")
            << QStringList{"WAYLAND_DISPLAY=wayland-0", "XDG_SESSION_TYPE=wayland"} << false
            << false;
        QTest::newRow("X11 session")
            << QStringList{"XDG_SESSION_TYPE=x11", "DISPLAY=:0"} << false << false;
        QTest::newRow("user set QT_QPA_PLATFORM")
            << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0", "QT_QPA_PLATFORM=wayland"}
            << false << false;
        QTest::newRow("user gave -platform")
            << QStringList{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=:0"} << true << false;
    }

    void preferX11()
    {
        QFETCH(QStringList, environment);
        QFETCH(bool, platformChosen);
        QProcessEnvironment env;
        for (const QString& entry : environment)
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));

        QTEST(wispline::preferX11(env, platformChosen), "expected");
    }
};

QTEST_GUILESS_MAIN(TestStartOptions)
#include "tst_startoptions.moc"
