#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/WisplineModule.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <stdexcept>
#include <unistd.h>

using namespace wispline;

class TestWisplineModule : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::Seams> seams;
    std::unique_ptr<QTemporaryDir> dir;
    QString lockPath() const { return dir->filePath(QStringLiteral("instance.lock")); }

private slots:
    void init()
    {
        seams = std::make_unique<test::Seams>();
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        seams->folder.folder = dir->path();
        resetSession();
    }
    void cleanup()
    {
        dir.reset();
        seams.reset();
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
        QString program = programFolder.isEmpty() ? QString() : dir->filePath(programFolder);
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
        const QString fallback = dir->filePath(QStringLiteral("data/Wispline"));

        const QString path = messageLogPath(program, fallback, QDate(2027, 3, 1));
        if (program.startsWith(dir->path()))
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
        seams->clock.value = QDateTime(QDate(2026, 12, 5), QTime(23, 59, 59));
        InstanceGuard guard(lockPath());
        int shown = 0;
        SessionState seenAtShow;
        QVERIFY(Main(guard, [&] {
            ++shown;
            seenAtShow = session();
        }));

        QCOMPARE(shown, 1);
        QVERIFY(seams->boxes.shown.isEmpty() && !seams->exit.ended());
        // Everything the log-on window relies on is set before it is shown.
        QCOMPARE(seenAtShow.ThemeForeColor, std::uint32_t(33023));
        QCOMPARE(seenAtShow.ThemeBackColor, std::uint32_t(0));
        QCOMPARE(seenAtShow.MessageLogPath, QDir(dir->path()).filePath("M05122026.Msg"));
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
        QCOMPARE(seams->boxes.lines(),
                 QStringList{test::box(
                     "VESK Wispline", BoxIcon::Exclamation,
                     "Application already running.\r\nFirst close the previous instance.")});
        QCOMPARE(seams->exit.ends.size(), 1);
        QVERIFY(session().MessageLogPath.isEmpty());
        InstanceGuard third(lockPath()); // the first instance keeps its lock
        QVERIFY(!third.acquire());
    }

    void mainReportsStartFailure()
    {
        InstanceGuard guard(lockPath());
        QVERIFY(!Main(guard, [] { throw std::runtime_error("no window"); }));
        QCOMPARE(seams->boxes.lines(), QStringList{test::box("Connection", BoxIcon::Critical,
                                                             "Cannot connect to server")});
        QCOMPARE(seams->exit.ends.size(), 1);
    }

    void lockIsFreedOnReleaseAndByTheGuardsEnd()
    {
        InstanceGuard first(lockPath());
        QVERIFY(first.acquire());
        first.release();
        {
            InstanceGuard next(lockPath());
            QVERIFY(next.acquire());
        }
        InstanceGuard last(lockPath());
        QVERIFY(last.acquire());
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
};

QTEST_GUILESS_MAIN(TestWisplineModule)
#include "tst_wisplinemodule.moc"
