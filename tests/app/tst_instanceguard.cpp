#include "app/WisplineModule.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace wispline;

class TestInstanceGuard : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString lockPath() const { return dir.filePath(QStringLiteral("instance.lock")); }

private slots:
    void init() { QFile::remove(lockPath()); }
    void oneInstanceAtATime();
    void lockIsFreedOnRelease_data();
    void lockIsFreedOnRelease();
    void lockOfEndedProcessIsTakenOver();
};

void TestInstanceGuard::oneInstanceAtATime()
{
    InstanceGuard first(lockPath());
    QVERIFY(first.acquire());
    InstanceGuard second(lockPath());
    QVERIFY(!second.acquire());
    QVERIFY(!second.acquire());
    // A refused start leaves the running instance's lock in place.
    InstanceGuard third(lockPath());
    QVERIFY(!third.acquire());
}

void TestInstanceGuard::lockIsFreedOnRelease_data()
{
    QTest::addColumn<bool>("byDestructor");
    QTest::newRow("release") << false;
    QTest::newRow("guard destroyed") << true;
}

void TestInstanceGuard::lockIsFreedOnRelease()
{
    QFETCH(bool, byDestructor);
    {
        InstanceGuard first(lockPath());
        QVERIFY(first.acquire());
        if (!byDestructor)
            first.release();
    }
    InstanceGuard next(lockPath());
    QVERIFY(next.acquire());
}

// A run that crashed leaves its lock file behind; the next start must not be refused for ever.
void TestInstanceGuard::lockOfEndedProcessIsTakenOver()
{
    QProcess child;
    child.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("exit 0")});
    QVERIFY(child.waitForStarted());
    const qint64 deadPid = child.processId();
    QVERIFY(child.waitForFinished());

    QFile file(lockPath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray::number(deadPid) + '\n' + QCoreApplication::applicationName().toUtf8() +
               '\n' + QSysInfo::machineHostName().toUtf8() + '\n');
    file.close();

    InstanceGuard guard(lockPath());
    QVERIFY(guard.acquire());
    InstanceGuard other(lockPath());
    QVERIFY(!other.acquire());
}

QTEST_GUILESS_MAIN(TestInstanceGuard)
#include "tst_instanceguard.moc"
