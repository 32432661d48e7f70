#include "notify/FlashController.h"

#include <QWidget>
#include <QtTest>

using wispline::FlashController;

class tst_FlashController : public QObject
{
    Q_OBJECT

private slots:
    void burstOfThree_data()
    {
        QTest::addColumn<QList<int>>("startAfterTicks"); // further messages, after that many ticks
        QTest::addColumn<int>("stopAfterTick");          // -1: never stopped
        QTest::newRow("one message") << QList<int>{} << -1;
        QTest::newRow("second message after the first inversion") << QList<int>{1} << -1;
        QTest::newRow("second message before the stopping tick") << QList<int>{3} << -1;
        QTest::newRow("stopped mid-burst, then a message") << QList<int>{2} << 2;
    }

    void burstOfThree()
    {
        QFETCH(QList<int>, startAfterTicks);
        QFETCH(int, stopAfterTick);

        QWidget window;
        FlashController flash(&window);
        int inversions = 0;
        flash.setInvert([&] { ++inversions; });
        QVERIFY(flash.prepare(530));
        flash.start();

        int ticks = 0;
        while (flash.FlashTimer.isActive() && ticks < 50) {
            flash.FlashTimer_Timer();
            ++ticks;
            if (ticks == stopAfterTick)
                flash.stop();
            if (startAfterTicks.contains(ticks))
                flash.start();
        }
        QCOMPARE(inversions, 3);
        QCOMPARE(ticks, 4); // the fourth tick only stops the timer
        QCOMPARE(flash.FlashCount, 0);

        // A message after the burst starts a full new one.
        flash.start();
        for (int i = 0; i < 50 && flash.FlashTimer.isActive(); ++i)
            flash.FlashTimer_Timer();
        QCOMPARE(inversions, 6);
    }

    void prepare_data()
    {
        QTest::addColumn<int>("blink");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<int>("interval");
        QTest::newRow("530 ms blink") << 530 << true << 1060;
        QTest::newRow("no blink: never ticks") << 0 << true << 0;
        QTest::newRow("largest accepted") << 32767 << true << 65534;
        QTest::newRow("double beyond the timer range") << 32768 << false << 777;
        QTest::newRow("negative") << -1 << false << 777;
        QTest::newRow("huge value does not overflow") << 0x7fffffff << false << 777;
    }

    void prepare()
    {
        QFETCH(int, blink);
        QFETCH(bool, accepted);
        QFETCH(int, interval);

        QWidget window;
        FlashController flash(&window);
        flash.FlashTimer.setInterval(777);
        flash.FlashTimer.start();
        QCOMPARE(flash.prepare(blink), accepted);
        QVERIFY(!flash.FlashTimer.isActive());
        QCOMPARE(flash.FlashTimer.interval(), interval);
        flash.start();
        QCOMPARE(flash.FlashTimer.isActive(), flash.FlashTimer.interval() > 0);
    }

    void messagesFasterThanTheTickDoNotHoldTheBurstUp()
    {
        QWidget window;
        FlashController flash(&window);
        QVERIFY(flash.prepare(25));
        // Messages arrive on every pass of the event loop until the first inversion.
        QTimer messages;
        messages.setInterval(0);
        connect(&messages, &QTimer::timeout, &flash, &FlashController::start);
        int inversions = 0;
        flash.setInvert([&] {
            ++inversions;
            messages.stop();
        });
        flash.start();
        messages.start();
        QTRY_VERIFY_WITH_TIMEOUT(inversions >= 1, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!flash.FlashTimer.isActive(), 30000);
        QCOMPARE(inversions, 3);
    }
};

QTEST_MAIN(tst_FlashController)
#include "tst_flashcontroller.moc"
