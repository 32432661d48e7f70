#include "notify/AlertAnimation.h"

#include <QtTest>

using wispline::AlertAnimation;

class tst_AlertAnimation : public QObject
{
    Q_OBJECT

private slots:
    void roundsHalfToEven_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("half below even goes down") << 2.5 << 2;
        QTest::newRow("half below odd goes up") << 3.5 << 4;
        QTest::newRow("negative half to even") << -2.5 << -2;
    }

    void roundsHalfToEven()
    {
        QFETCH(double, value);
        QFETCH(int, expected);
        QCOMPARE(wispline::roundHalfEven(value), expected);
    }

    void openThenClose_data()
    {
        QTest::addColumn<float>("pictureHeight");
        QTest::addColumn<int>("border"); // same in width and height
        QTest::addColumn<int>("fullSteps");
        QTest::addColumn<int>("lastStep"); // 0: no shorter last step
        QTest::addColumn<float>("fullHeight");
        QTest::addColumn<int>("shrinks");
        QTest::addColumn<float>("lastHeight");

        QTest::newRow("3125: 101 steps of 30 and one of 5, 101 shrinks down to 95")
            << 3125.f << 0 << 101 << 5 << 3125.f << 101 << 95.f;
        QTest::newRow("border counts towards the full size")
            << 3060.f << 15 << 99 << 15 << 3075.f << 99 << 105.f;
        QTest::newRow("121: one shrink below the limit")
            << 121.f << 0 << 1 << 1 << 121.f << 1 << 91.f;
        QTest::newRow("lower than the strip: display at once, unload at the first tick")
            << 60.f << 0 << 0 << 0 << 90.f << 0 << 90.f;
        QTest::newRow("full height ending in a half still ends")
            << 3100.5f << 0 << 100 << 10 << 3100.f << 100 << 100.f;
    }

    void openThenClose()
    {
        QFETCH(float, pictureHeight);
        QFETCH(int, border);
        QFETCH(int, fullSteps);
        QFETCH(int, lastStep);
        QFETCH(float, fullHeight);
        QFETCH(int, shrinks);
        QFETCH(float, lastHeight);

        AlertAnimation a(5340.f, pictureHeight);
        a.setBorder(border, border);
        a.start(1024, 740, 15.f, 15.f);
        QCOMPARE(a.height(), 90.f);
        QCOMPARE(a.width(), 5340.f + border);
        QCOMPARE(a.left() + a.width(), 15.f * 1024); // right edge on the screen area's edge
        const float bottom = a.bottom();
        QCOMPARE(bottom, 15.f * 740 + 390.f); // 300 + 90 below the screen area

        QList<int> steps;
        for (int tick = 0; tick < 1000; ++tick) {
            const float before = a.height();
            if (a.openStep() == AlertAnimation::OpenResult::FullHeight) {
                QCOMPARE(a.height(), before); // the display tick changes nothing
                break;
            }
            steps << int(a.height() - before);
            QCOMPARE(a.bottom(), bottom);
        }
        QCOMPARE(steps.count(30), fullSteps);
        QCOMPARE(steps.size(), fullSteps + (lastStep ? 1 : 0));
        if (lastStep)
            QCOMPARE(steps.last(), lastStep);
        QCOMPARE(a.height(), fullHeight);

        int count = 0;
        for (; count < 1000 && a.closeStep() == AlertAnimation::CloseResult::Shrunk; ++count)
            QCOMPARE(a.bottom(), bottom);
        QCOMPARE(count, shrinks);
        QCOMPARE(a.height(), lastHeight);
    }
};

QTEST_APPLESS_MAIN(tst_AlertAnimation)
#include "tst_alertanimation.moc"
