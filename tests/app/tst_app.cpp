// Start-up: settings, the deployment's addresses, the command line, the module's Main and
// its instance lock, the theme.
#include "TestSeams.h"
#include "app/Deployment.h"
#include "app/SessionState.h"
#include "app/Settings.h"
#include "app/StartOptions.h"
#include "app/Theme.h"
#include "app/WisplineModule.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QVBoxLayout>
#include <QtTest>
#include <memory>
#include <stdexcept>
#include <unistd.h>

using namespace wispline;

namespace
{

const QColor kOrange(255, 128, 0);

// Whether the inside of `w` as drawn (its edge left out) shows a pixel close to `colour`.
bool shows(QWidget* w, const QColor& colour)
{
    const QImage image = w->grab(w->rect().adjusted(4, 4, -4, -4)).toImage();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (qAbs(c.red() - colour.red()) + qAbs(c.green() - colour.green()) +
                    qAbs(c.blue() - colour.blue()) <
                60)
                return true;
        }
    }
    return false;
}

} // namespace

class TestApp : public QObject
{
    Q_OBJECT

    QTemporaryDir system_;
    std::unique_ptr<test::Sandbox> sb;
    QString lockPath() const { return sb->dir.filePath(QStringLiteral("instance.lock")); }

private slots:
    void initTestCase()
    {
        // The system-wide file of this machine must not decide the results.
        QVERIFY(system_.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, system_.path());
    }
    void init()
    {
        QSettings s(settings::filePath(), QSettings::IniFormat);
        s.clear();
        s.sync();
        sb = std::make_unique<test::Sandbox>();
    }
    void cleanup() { sb.reset(); }

    void toBool_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("expected");

        QTest::newRow("true in lower case") << "true" << true;
        QTest::newRow("0") << "0" << false;
        QTest::newRow("-1") << "-1" << true;
        QTest::newRow("fraction") << "0.5" << true;
        QTest::newRow("junk") << "junk" << false;
        QTest::newRow("number then letters") << "1abc" << false;
        QTest::newRow("written form of true") << settings::fromBool(true) << true;
        QTest::newRow("written form of false") << settings::fromBool(false) << false;
    }

    void toBool()
    {
        QFETCH(QString, text);
        QTEST(settings::toBool(text), "expected");
    }

    void roundTrip_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("spaces kept") << "  Lease Line ";
        QTest::newRow("empty, not the default") << "";
        QTest::newRow("non-latin text") << QString::fromUtf8("Ärger über €");
    }

    void roundTrip()
    {
        QFETCH(QString, value);
        QCOMPARE(settings::get(settings::kMode, QStringLiteral("Internet")),
                 QStringLiteral("Internet"));
        settings::save(settings::kMode, value);
        QCOMPARE(settings::get(settings::kMode, QStringLiteral("Internet")), value);
        // Written through at once, under the section the program uses.
        QSettings s(settings::filePath(), QSettings::IniFormat);
        QCOMPARE(s.value(QStringLiteral("AkSettings/AkWLMode")).toString(), value);
        QCOMPARE(s.allKeys(), QStringList{"AkSettings/AkWLMode"});
        QCOMPARE(QFile::permissions(settings::filePath()) &
                     ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser),
                 QFile::ReadOwner | QFile::WriteOwner); // this account's only
    }

    void corruptFileSetAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("unclosed section") << QByteArray("[AkSettings\nAkWLUser=BOB\n");
        QTest::newRow("binary garbage") << QByteArray("\x00\x01\xff\xfe[garbage", 12);
    }

    void corruptFileSetAside()
    {
        QFETCH(QByteArray, content);
        const QFileInfo store(settings::filePath());
        QDir folder = store.dir();
        for (const QString& old :
             folder.entryList({store.fileName() + QStringLiteral(".corrupt-*")}))
            folder.remove(old);
        {
            QFile file(store.filePath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("could not be read")));

        settings::save(settings::kMode, QStringLiteral("LAN"));
        QCOMPARE(settings::get(settings::kMode), QStringLiteral("LAN"));
        QCOMPARE(settings::get(settings::kUser, QStringLiteral("default")),
                 QStringLiteral("default"));
        const QStringList aside =
            folder.entryList({store.fileName() + QStringLiteral(".corrupt-*")});
        QCOMPARE(aside.size(), 1);
        QFile kept(folder.filePath(aside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), content);
    }

    void deploymentServers_data()
    {
        QTest::addColumn<QByteArray>("systemFile"); // empty: no file
        QTest::addColumn<QString>("internet");
        QTest::addColumn<QString>("other");

        const QString builtInInternet = QStringLiteral(WISPLINE_INTERNET_SERVER);
        const QString builtInOther = QStringLiteral(WISPLINE_DEFAULT_SERVER);
        QTest::newRow("no system file: built in")
            << QByteArray() << builtInInternet << builtInOther;
        QTest::newRow("both set")
            << QByteArray("[Deployment]\nInternetServer=203.0.113.5\nDefaultServer=chat.example\n")
            << "203.0.113.5"
            << "chat.example";
        QTest::newRow("blank or missing keys: built in")
            << QByteArray("[Deployment]\nInternetServer=  \n") << builtInInternet << builtInOther;
        QTest::newRow("spaces around trimmed")
            << QByteArray("[Deployment]\nDefaultServer = \" 10.0.0.7 \"\n") << builtInInternet
            << "10.0.0.7";
    }

    void deploymentServers()
    {
        QFETCH(QByteArray, systemFile);
        const QString path = system_.filePath(QStringLiteral("AkWispline/AkWispline.ini"));
        QFile::remove(path);
        if (!systemFile.isEmpty()) {
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(systemFile);
        }
        // Only the administrator's file counts, not the user's own.
        QSettings user(settings::filePath(), QSettings::IniFormat);
        user.setValue(QStringLiteral("Deployment/InternetServer"), QStringLiteral("evil.example"));
        user.setValue(QStringLiteral("Deployment/DefaultServer"), QStringLiteral("evil.example"));
        user.sync();

        QTEST(deploymentServer(DeploymentServer::Internet), "internet");
        QTEST(deploymentServer(DeploymentServer::Default), "other");
    }

    // Encryption may be turned on by the system or the user, off only where neither did; a
    // value that is neither fails closed. The system's CaFile and PinnedSha256 cannot be
    // replaced by the user's.
    void deploymentSecurity_data()
    {
        QTest::addColumn<QString>("systemLines");
        QTest::addColumn<QString>("userLines");
        QTest::addColumn<bool>("encrypted");
        QTest::addColumn<QString>("caFile");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<bool>("logged"); // a value neither on nor off is said to be taken as on

        auto row = [](const char* name, const char* system, const char* user, bool encrypted,
                      const char* caFile = "", const char* pin = "", bool logged = false) {
            QTest::newRow(name) << system << user << encrypted << caFile << pin << logged;
        };
        row("nothing set: off", "", "", false);
        row("system on, user off: on", "Encryption=on\nCaFile=/etc/ca.pem", "Encryption=off", true,
            "/etc/ca.pem");
        row("user on, own CaFile where the system sets none", "",
            "Encryption=On\nCaFile=/home/ca.pem", true, "/home/ca.pem");
        // Only "on" turned encryption on: these meant plain text.
        row("true", "", "Encryption=true", true);
        row("Yes", "", "Encryption=Yes", true);
        row("1", "", "Encryption=1", true);
        row("TRUE in the system file", "Encryption=TRUE", "", true);
        row("false", "", "Encryption=false", false);
        row("NO", "", "Encryption=NO", false);
        row("0", "", "Encryption=0", false);
        row("neither on nor off: on, logged", "", "Encryption=enabled", true, "", "", true);
        row("a typo in the system file, user off: on, logged", "Encryption=onn", "Encryption=off",
            true, "", "", true);
        // A user's own file replaced what the administrator trusts.
        row("system CaFile and pin: the user's cannot replace them",
            "Encryption=on\nCaFile=/etc/ca.pem\nPinnedSha256=AA:BB",
            "CaFile=/home/mine.pem\nPinnedSha256=CC:DD", true, "/etc/ca.pem", "AA:BB");
        row("user's pin where the system sets none", "Encryption=on", "PinnedSha256=CC:DD", true,
            "", "CC:DD");
    }

    void deploymentSecurity()
    {
        QFETCH(QString, systemLines);
        QFETCH(QString, userLines);
        QFETCH(bool, logged);
        const QString path = system_.filePath(QStringLiteral("AkWispline/AkWispline.ini"));
        for (const auto& [file, lines] :
             {std::pair(path, systemLines), {settings::filePath(), userLines}}) {
            QVERIFY(QDir().mkpath(QFileInfo(file).path()));
            QFile::remove(file);
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(("[Deployment]\n" + lines + "\n").toUtf8());
        }
        if (logged)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(QStringLiteral("neither on nor off")));
        const DeploymentSecurity security = wispline::deploymentSecurity();
        QTEST(security.encrypted, "encrypted");
        QTEST(security.caFile, "caFile");
        QTEST(security.pinnedSha256, "pin");
    }

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

    // The log goes to the program folder when it takes files, otherwise to a per-user folder.
    void logPath_data()
    {
        QTest::addColumn<QString>("programFolder"); // inside the temporary folder
        QTest::addColumn<bool>("fallsBack");
        QTest::newRow("writable program folder") << QStringLiteral("program") << false;
        QTest::newRow("read-only program folder") << QStringLiteral("installed") << true;
        QTest::newRow("folder missing") << QStringLiteral("missing") << true;
        QTest::newRow("no folder") << QString() << true;
    }

    void logPath()
    {
        QFETCH(QString, programFolder);
        QFETCH(bool, fallsBack);
        QString program = programFolder.isEmpty() ? QString() : sb->dir.filePath(programFolder);
        const auto writable =
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        if (!fallsBack || programFolder == QLatin1String("installed"))
            QVERIFY(QDir().mkpath(program));
        if (programFolder == QLatin1String("installed")) {
            QFile::setPermissions(program, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
            if (::access(QFile::encodeName(program).constData(), W_OK) == 0) {
                // Permission bits do not stop this user; a folder that takes no files does.
                QFile::setPermissions(program, writable);
                program = QStringLiteral("/proc");
                if (!QFileInfo(program).isDir())
                    QSKIP("no read-only folder available to this user");
            }
        }
        const QString fallback = sb->dir.filePath(QStringLiteral("data/Wispline"));

        const QString path = messageLogPath(program, fallback, QDate(2027, 3, 1));
        if (program.startsWith(sb->dir.path()))
            QFile::setPermissions(program, writable);
        QCOMPARE(path,
                 QDir(fallsBack ? fallback : program).filePath(QStringLiteral("M01032027.Msg")));
        if (fallsBack)
            QVERIFY(QFileInfo(fallback).isDir()); // created, so the log can be written there
        else                                      // the write probe leaves nothing behind
            QCOMPARE(
                QDir(program).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                QStringList());
    }

    void mainStartsLogon()
    {
        sb->seams.clock.value = QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59));
        InstanceGuard guard(lockPath());
        int shown = 0;
        SessionState seenAtShow;
        QVERIFY(Main(guard, [&] {
            ++shown;
            seenAtShow = session();
        }));

        QCOMPARE(shown, 1);
        QVERIFY(sb->seams.boxes.shown.isEmpty() && !sb->seams.exit.ended());
        // Everything the log-on window relies on is set before it is shown.
        QCOMPARE(seenAtShow.ThemeForeColor, std::uint32_t(33023));
        QCOMPARE(seenAtShow.ThemeBackColor, std::uint32_t(0));
        QCOMPARE(seenAtShow.MessageLogPath, QDir(sb->dir.path()).filePath("M05122026.Msg"));
        QCOMPARE(seenAtShow.VersionString, QStringLiteral("1.1.1"));
        InstanceGuard second(lockPath()); // this process now holds the lock
        QVERIFY(!second.acquire());
    }

    void mainRefusesSecondInstance()
    {
        InstanceGuard running(lockPath());
        QVERIFY(running.acquire());
        InstanceGuard guard(lockPath());
        QVERIFY(!Main(guard, [] { QFAIL("log-on window shown"); }));
        QCOMPARE(sb->seams.boxes.lines(),
                 QStringList{test::box(
                     "VESK Wispline", BoxIcon::Exclamation,
                     "Application already running.\r\nFirst close the previous instance.")});
        QCOMPARE(sb->seams.exit.ends.size(), 1);
        QVERIFY(session().MessageLogPath.isEmpty());
        InstanceGuard third(lockPath()); // the first instance keeps its lock
        QVERIFY(!third.acquire());
    }

    void mainReportsStartFailure()
    {
        InstanceGuard guard(lockPath());
        QVERIFY(!Main(guard, [] { throw std::runtime_error("no window"); }));
        QCOMPARE(sb->seams.boxes.lines(), QStringList{test::box("Connection", BoxIcon::Critical,
                                                                "Cannot connect to server")});
        QCOMPARE(sb->seams.exit.ends.size(), 1);
    }

    // A run that crashed leaves its lock file behind; the next start must not be refused for
    // ever.
    void lockOfEndedProcessIsTakenOver()
    {
        QProcess child;
        child.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 0")});
        QVERIFY(child.waitForStarted());
        const qint64 deadPid = child.processId();
        QVERIFY(child.waitForFinished());
        QFile file(lockPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(deadPid) + '\n' +
                   QCoreApplication::applicationName().toUtf8() + '\n' +
                   QSysInfo::machineHostName().toUtf8() + '\n');
        file.close();
        InstanceGuard guard(lockPath());
        QVERIFY(guard.acquire());
        InstanceGuard other(lockPath());
        QVERIFY(!other.acquire());
    }

    // What a person sees of a themed control: each kind drawn in a themed frame of a themed
    // window.
    void controlsAsSeen_data()
    {
        QTest::addColumn<bool>("button"); // else a text box
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QColor>("colour");
        QTest::addColumn<bool>("shown");
        QTest::newRow("button text is black") << true << true << QColor(Qt::black) << true;
        QTest::newRow("text box text is orange") << false << true << kOrange << true;
        QTest::newRow("disabled text box is greyed") << false << false << kOrange << false;
    }
    void controlsAsSeen()
    {
        QFETCH(bool, button);
        QFETCH(bool, enabled);
        QFETCH(QColor, colour);
        QFETCH(bool, shown);
        resetSession();
        session().ThemeBackColor = 0x000000;
        session().ThemeForeColor = 0x0080FF; // orange
        QWidget window;
        auto* frame = new FrameBox(&window);
        auto* layout = new QVBoxLayout(frame);
        QWidget* control = button ? static_cast<QWidget*>(new QPushButton(QStringLiteral("WWW")))
                                  : new QLineEdit(QStringLiteral("WWWWWWWW"));
        layout->addWidget(control);
        control->setMinimumSize(120, 30);
        control->setEnabled(enabled);
        applyThemeToWindow(&window);
        window.resize(200, 80);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(shows(control, colour), shown);
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
