// The limits a connection meets, in the process: a close that ends on time whatever the wall
// clock does, and the budgets of a logged-on connection, at the shipped rates, at and past
// their bursts; and the free-space floor below which no message is taken.
#include "base/ServerClock.h"
#include "net/ClientConnection.h"
#include "net/EpollEventDispatcher.h"
#include "net/TlsSession.h"
#include "routing/FairShare.h"
#include "store/DiskSpace.h"

#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

using namespace wispline::server;

namespace
{

constexpr int kWaitMs = 30000;

// Notes the end of a connection: its owner is the flag.
const ClientConnection::Events kEndSeen{[](void*) {}, [](void*) {},
                                        [](void* owner) { *static_cast<bool*>(owner) = true; },
                                        [](void*, const QString&) {}};

// A connected loopback TCP pair: the server's end and the peer's.
bool tcpPair(int* server, int* peer)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bool ok = ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              ::listen(listener, 1) == 0 &&
              ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    *peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ok = ok && ::connect(*peer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    *server = ok ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    ::close(listener);
    return ok && *server >= 0;
}

// Reads what the peer was sent as it comes, serving events meanwhile, until its end: "close",
// "reset", or "open" when none came within ms.
QString readToEnd(int peer, int ms)
{
    char buffer[65536];
    QString end;
    (void)QTest::qWaitFor(
        [&] {
            for (;;) {
                const ssize_t n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0)
                    continue;
                if (n == 0)
                    end = QStringLiteral("close");
                else if (errno == ECONNRESET)
                    end = QStringLiteral("reset");
                else if (errno == EINTR)
                    continue;
                return !end.isEmpty();
            }
        },
        ms);
    return end.isEmpty() ? QStringLiteral("open") : end;
}

} // namespace

class TestServerLimits : public QObject
{
    Q_OBJECT
private slots:
    // A close gets its close time on a clock that never steps: a wall clock set back an hour
    // does not keep a peer that reads nothing for that hour, and one set forward does not reset
    // a peer that reads everything within the close time.
    void aCloseEndsOnTimeWhateverTheWallClock_data()
    {
        QTest::addColumn<qint64>("step");
        QTest::addColumn<int>("closeTimeMs");
        QTest::addColumn<bool>("peerReads");
        QTest::addColumn<QString>("end"); // what the peer reads
        QTest::newRow("set back an hour, peer reads nothing: reset at the close time")
            << qint64(-3600000) << 300 << false << "reset";
        QTest::newRow("set forward an hour, peer reads all: closed in order")
            << qint64(3600000) << kWaitMs << true << "close";
    }

    void aCloseEndsOnTimeWhateverTheWallClock()
    {
        QFETCH(qint64, step);
        QFETCH(int, closeTimeMs);
        QFETCH(bool, peerReads);
        QFETCH(QString, end);
        int server = -1;
        int peer = -1;
        QVERIFY(tcpPair(&server, &peer));
        const int small = 4096;
        ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        bool ended = false;
        {
            ClientConnection connection(server, 60, closeTimeMs);
            connection.setEvents(&kEndSeen, &ended);
            // Into a small window: most of it waits for the peer.
            connection.write(QByteArray(256 * 1024, 'x'));
            QVERIFY(connection.acknowledged() < connection.handedOver());
            connection.disconnectFromHost();
            clocks::stepWall(step);
            const auto back = qScopeGuard([step] { clocks::stepWall(-step); });
            if (!peerReads)
                QVERIFY(QTest::qWaitFor([&] { return ended; }, kWaitMs));
            QCOMPARE(readToEnd(peer, kWaitMs), end);
            QVERIFY(QTest::qWaitFor([&] { return ended; }, kWaitMs));
        }
        ::close(peer);
    }

    // A cost taken at 0 ms, another at laterMs, and how long the connection then waits.
    void budgetsAtAndPastTheirBursts_data()
    {
        QTest::addColumn<QList<qint64>>("first"); // messages, deliveries, bytes stored
        QTest::addColumn<qint64>("laterMs");
        QTest::addColumn<QList<qint64>>("then");
        QTest::addColumn<qint64>("waitMs");
        const QList<qint64> none{0, 0, 0};
        constexpr qint64 kMb = 1024 * 1024;
        QTest::newRow("200 messages at once: within")
            << QList<qint64>{200, 0, 0} << 0LL << none << 0LL;
        QTest::newRow("201 messages at once: a twentieth of a second")
            << QList<qint64>{201, 0, 0} << 0LL << none << 50LL;
        QTest::newRow("20,000 deliveries at once: within")
            << QList<qint64>{1, 20000, 0} << 0LL << none << 0LL;
        QTest::newRow("20,001 deliveries at once: a millisecond")
            << QList<qint64>{1, 20001, 0} << 0LL << none << 1LL;
        QTest::newRow("4 MB to store at once: within")
            << QList<qint64>{1, 1, 4 * kMb} << 0LL << none << 0LL;
        QTest::newRow("a byte past 4 MB: a millisecond")
            << QList<qint64>{1, 1, 4 * kMb + 1} << 0LL << none << 1LL;
        QTest::newRow("2 MB past the burst: paid back at 256 KB a second")
            << QList<qint64>{2, 2000, 4 * kMb} << 0LL << QList<qint64>{1, 1000, 2 * kMb} << 8000LL;
        QTest::newRow("the burst spent, a second later 20 more messages: within")
            << QList<qint64>{200, 0, 0} << 1000LL << QList<qint64>{20, 0, 0} << 0LL;
        QTest::newRow("the burst spent, a second later 21 more: a twentieth of a second")
            << QList<qint64>{200, 0, 0} << 1000LL << QList<qint64>{21, 0, 0} << 50LL;
        QTest::newRow("ten idle seconds refill no more than the burst")
            << none << 10000LL << QList<qint64>{201, 0, 0} << 50LL;
    }

    void budgetsAtAndPastTheirBursts()
    {
        QFETCH(QList<qint64>, first);
        QFETCH(qint64, laterMs);
        QFETCH(QList<qint64>, then);
        QFETCH(qint64, waitMs);
        FairShare share({}, 1000);
        share.charge(1000, first[0], first[1], first[2]);
        share.charge(1000 + laterMs, then[0], then[1], then[2]);
        QCOMPARE(share.waitMs(1000 + laterMs), waitMs);
        // Waiting that long is enough, and a little less is not.
        if (waitMs > 1)
            QVERIFY(share.waitMs(1000 + laterMs + waitMs - 2) > 0);
        QCOMPARE(share.waitMs(1000 + laterMs + waitMs), 0LL);
    }

    // The floor against the free space of a small file system of the test's own (nothing else
    // writes there, so its free space holds still): exactly at it messages are taken, a byte
    // past it they are not.
    void freeSpaceFloorAtAndPastIt_data()
    {
        QTest::addColumn<qint64>("pastFree"); // the floor, in bytes past the free space
        QTest::addColumn<bool>("low");
        QTest::newRow("floor at the free space: taken") << 0LL << false;
        QTest::newRow("floor a byte past it: held") << 1LL << true;
    }

    void freeSpaceFloorAtAndPastIt()
    {
        QFETCH(qint64, pastFree);
        QFETCH(bool, low);
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            QSKIP("needs mounts of its own (run as root)");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray path = QFile::encodeName(dir.path());
        QVERIFY(::mount("tmpfs", path.constData(), "tmpfs", 0, "size=4m") == 0);
        const auto unmount = qScopeGuard([&] { ::umount2(path.constData(), 0); });
        struct statvfs fs {
        };
        QCOMPARE(::statvfs(path.constData(), &fs), 0);
        const qint64 free = qint64(fs.f_bavail) * qint64(fs.f_frsize);
        DiskSpace space;
        space.setFile(dir.filePath(QStringLiteral("wispline.db")));
        space.setFloor(free + pastFree);
        QCOMPARE(space.low(), low);
        QCOMPARE(space.freeBytes(), free);
    }
};

int main(int argc, char* argv[])
{
    // Connections are watched by the server's own event dispatcher, as in the server.
    QCoreApplication::setEventDispatcher(new EpollEventDispatcher);
    QCoreApplication app(argc, argv);
    TestServerLimits test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_serverlimits.moc"
