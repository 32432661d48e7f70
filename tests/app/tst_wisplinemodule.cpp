#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/WisplineModule.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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

    void logFileName_data();
    void logFileName();
    void logPath_data();
    void logPath();
    void version_data();
    void version();
    void mainStartsLogon();
    void mainRefusesSecondInstance();
    void mainReportsStartFailure();
};

void TestWisplineModule::logFileName_data()
{
    QTest::addColumn<QDate>("day");
    QTest::addColumn<QString>("expected");
    QTest::newRow("day and month padded") << QDate(2027, 3, 1) << QStringLiteral("M01032027.Msg");
    QTest::newRow("two-digit month") << QDate(2026, 12, 5) << QStringLiteral("M05122026.Msg");
    QTest::newRow("leap day") << QDate(2028, 2, 29) << QStringLiteral("M29022028.Msg");
}

void TestWisplineModule::logFileName()
{
    QFETCH(QDate, day);
    QTEST(messageLogFileName(day), "expected");
}

void TestWisplineModule::logPath_data()
{
    QTest::addColumn<QString>("programFolder"); // inside the temporary folder
    QTest::addColumn<bool>("fallsBack");
    QTest::newRow("writable program folder") << QStringLiteral("program") << false;
    QTest::newRow("read-only program folder") << QStringLiteral("installed") << true;
    QTest::newRow("folder missing") << QStringLiteral("missing") << true;
    QTest::newRow("folder is a file") << QStringLiteral("a-file") << true;
    QTest::newRow("no folder") << QString() << true;
}

void TestWisplineModule::logPath()
{
    QFETCH(QString, programFolder);
    QFETCH(bool, fallsBack);
    QVERIFY(QDir().mkpath(dir->filePath(QStringLiteral("program"))));
    QFile file(dir->filePath(QStringLiteral("a-file")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QString program = programFolder.isEmpty() ? QString() : dir->filePath(programFolder);
    const auto writable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    if (programFolder == QLatin1String("installed")) {
        QVERIFY(QDir().mkpath(program));
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
    QCOMPARE(path, QDir(fallsBack ? fallback : program).filePath(QStringLiteral("M01032027.Msg")));
    if (fallsBack)
        QVERIFY(QFileInfo(fallback).isDir()); // created, so the log can be written there
    else                                      // the write probe leaves nothing behind
        QCOMPARE(QDir(program).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList());
}

void TestWisplineModule::version_data()
{
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("revision");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no leading zeros") << 2 << 10 << 3 << QStringLiteral("2.10.3");
    QTest::newRow("zeros") << 0 << 0 << 0 << QStringLiteral("0.0.0");
    QTest::newRow("large revision") << 3 << 0 << 1024 << QStringLiteral("3.0.1024");
}

void TestWisplineModule::version()
{
    QFETCH(int, major);
    QFETCH(int, minor);
    QFETCH(int, revision);
    QTEST(versionString(major, minor, revision), "expected");
    QCOMPARE(programVersion(), QStringLiteral("1.1.1"));
}

void TestWisplineModule::mainStartsLogon()
{
    seams->clock.value = QDateTime(QDate(2027, 3, 1), QTime(23, 59, 59));
    InstanceGuard guard(lockPath());
    int shown = 0;
    SessionState seenAtShow;
    QVERIFY(Main(guard, [&] {
        ++shown;
        seenAtShow = session();
    }));

    QCOMPARE(shown, 1);
    QCOMPARE(seams->boxes.count(), 0);
    QVERIFY(!seams->exit.ended());
    // Everything the log-on window relies on is set before it is shown.
    QCOMPARE(seenAtShow.ThemeForeColor, std::uint32_t(33023));
    QCOMPARE(seenAtShow.ThemeBackColor, std::uint32_t(0));
    QCOMPARE(seenAtShow.MessageLogPath, QDir(dir->path()).filePath("M01032027.Msg"));
    QCOMPARE(seenAtShow.VersionString, QStringLiteral("1.1.1"));
    QVERIFY(!seenAtShow.LogonDone && seenAtShow.UserName.isEmpty());
    // This process now holds the instance lock.
    InstanceGuard second(lockPath());
    QVERIFY(!second.acquire());
}

void TestWisplineModule::mainRefusesSecondInstance()
{
    InstanceGuard running(lockPath());
    QVERIFY(running.acquire());
    InstanceGuard guard(lockPath());
    int shown = 0;
    QVERIFY(!Main(guard, [&] { ++shown; }));

    QCOMPARE(shown, 0);
    QCOMPARE(seams->boxes.texts(),
             QStringList{"Application already running.\r\nFirst close the previous instance."});
    QCOMPARE(seams->boxes.last().title, QStringLiteral("VESK Wispline"));
    QCOMPARE(seams->boxes.last().icon, BoxIcon::Exclamation);
    QCOMPARE(seams->exit.ends.size(), 1);
    QVERIFY(session().MessageLogPath.isEmpty());
    InstanceGuard third(lockPath()); // the first instance keeps its lock
    QVERIFY(!third.acquire());
}

void TestWisplineModule::mainReportsStartFailure()
{
    InstanceGuard guard(lockPath());
    QVERIFY(!Main(guard, [] { throw std::runtime_error("no window"); }));

    QCOMPARE(seams->boxes.texts(), QStringList{"Cannot connect to server"});
    QCOMPARE(seams->boxes.last().title, QStringLiteral("Connection"));
    QCOMPARE(seams->boxes.last().icon, BoxIcon::Critical);
    QCOMPARE(seams->exit.ends.size(), 1);
}

QTEST_GUILESS_MAIN(TestWisplineModule)
#include "tst_wisplinemodule.moc"
