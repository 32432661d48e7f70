// The pop-up, its animation, the caption flash and the tray icon.
#include "notify/AlertAnimation.h"
#include "notify/FlashController.h"
#include "notify/FrmAlert.h"
#include "notify/TrayIcon.h"

#include "TestSeams.h"

#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QtTest>
#include <memory>

using namespace wispline;

namespace
{

bool noTimerRuns(const FrmAlert& alert)
{
    return !alert.tmrOpen.isActive() && !alert.tmrAlert.isActive() && !alert.tmrClose.isActive();
}

} // namespace

class tst_Notify : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        seams_ = std::make_unique<test::Seams>();
        alert_ = std::make_unique<FrmAlert>();
    }

    void cleanup()
    {
        alert_.reset();
        seams_.reset();
    }

    void lifecycle_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QRect>("strip");
        QTest::addColumn<int>("openTicks"); // of an earlier alert; -1: none
        QTest::addColumn<int>(
            "closeTicks"); // of the earlier alert; -1: its display time has not ended
        QTest::addColumn<int>("duration"); // of this alert; an earlier one has 3000
        QTest::addColumn<int>("interval");

        // Strips as placed below a full-screen window's client area: the area less a caption.
        const QRect area(0, 0, 1024, 740), strip(672, 760, 352, 6);
        QTest::newRow("first alert") << area << strip << -1 << -1 << 3000 << 3000;
        QTest::newRow("panels shift the area")
            << QRect(48, 30, 1232, 994) << QRect(928, 1044, 352, 6) << -1 << -1 << 3000 << 3000;
        QTest::newRow("restart while opening, own time")
            << area << strip << 20 << -1 << 1200 << 1200;
        QTest::newRow("restart while showing, negative keeps the last time")
            << area << strip << 1000 << -1 << -1 << 3000;
        QTest::newRow("restart right after closing began, beyond the timer range keeps the last")
            << area << strip << 1000 << 0 << 70000 << 3000;
        QTest::newRow("restart late in the close, zero stays until clicked")
            << area << strip << 1000 << 95 << 0 << 0;
        QTest::newRow("restart after it unloaded") << area << strip << 1000 << 1000 << 2500 << 2500;
    }

    void lifecycle()
    {
        QFETCH(QRect, area);
        QFETCH(QRect, strip);
        QFETCH(int, openTicks);
        QFETCH(int, closeTicks);
        QFETCH(int, duration);
        QFETCH(int, interval);
        seams_->screen.available = area;
        const int caption =
            alert_->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, alert_.get());
        strip.translate(0, -caption);
        if (openTicks >= 0) {
            alert_->DisplayAlert(QStringLiteral("first"), 3000);
            for (int i = 0; i < openTicks && alert_->isOpening(); ++i)
                alert_->tmrOpen_Timer();
            if (closeTicks >= 0) {
                alert_->tmrAlert_Timer();
                for (int i = 0; i < closeTicks && alert_->isClosing(); ++i)
                    alert_->tmrClose_Timer();
            }
        }

        const QString text = QStringLiteral("<b>lunch</b> &amp; <img src=x>");
        alert_->DisplayAlert(text, duration);
        QVERIFY(alert_->isVisible() && alert_->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        // Texts from other users are never read as markup.
        QCOMPARE(alert_->lblAlert->text(), text);
        QCOMPARE(alert_->lblAlert->textFormat(), Qt::PlainText);
        QCOMPARE(alert_->geometry(), strip);
        const int bottom = strip.bottom();
        QCOMPARE(bottom,
                 area.bottom() - caption + 26); // 390 twips below the client area, and stays
        QCOMPARE(alert_->tmrAlert.interval(), interval);
        // Nothing left over from an earlier alert may cut this one short.
        QVERIFY(alert_->tmrOpen.isActive() && !alert_->tmrAlert.isActive() &&
                !alert_->tmrClose.isActive());

        int ticks = 0;
        for (; alert_->isOpening() && ticks < 1000; ++ticks) {
            alert_->tmrOpen_Timer();
            QCOMPARE(alert_->geometry().bottom(), bottom);
        }
        // 204 px = 3060 twips: 99 steps of 30 from 90, then the tick that starts the display.
        QCOMPARE(ticks, 100);
        QVERIFY(alert_->isShowing() && !alert_->tmrOpen.isActive());
        QCOMPARE(alert_->tmrAlert.isActive(), interval > 0);
        QCOMPARE(alert_->size(), QSize(352, 204));
        // The last line of text is on the screen.
        const QRect label(alert_->lblAlert->mapTo(alert_.get(), QPoint(0, 0)),
                          alert_->lblAlert->size());
        QVERIFY(area.contains(label.translated(alert_->pos())));

        alert_->tmrAlert_Timer();
        QVERIFY(alert_->isClosing() && alert_->tmrClose.isActive());
        for (ticks = 0; alert_->isClosing() && ticks < 1000; ++ticks) {
            alert_->tmrClose_Timer();
            if (alert_->isClosing())
                QCOMPARE(alert_->geometry().bottom(), bottom);
        }
        QCOMPARE(ticks, 99); // 98 shrinks down to 120 twips, then the unload
        QVERIFY(!alert_->isLoaded() && !alert_->isVisible() && noTimerRuns(*alert_));
    }

    void clickClosesAndRestores_data()
    {
        QTest::addColumn<bool>("onLabel");
        QTest::addColumn<bool>("minimised");
        QTest::newRow("label, main window minimised") << true << true;
        QTest::newRow("background, main window normal") << false << false;
    }

    void clickClosesAndRestores()
    {
        QFETCH(bool, onLabel);
        QFETCH(bool, minimised);

        QWidget mainWindow;
        minimised ? mainWindow.showMinimized() : mainWindow.show();
        alert_->setMainWindow(&mainWindow);
        alert_->DisplayAlert(QStringLiteral("click me"), 3000);
        for (int i = 0; i < 1000 && alert_->isOpening(); ++i)
            alert_->tmrOpen_Timer();
        QVERIFY(QTest::qWaitForWindowExposed(alert_.get()));

        if (onLabel)
            QTest::mouseClick(alert_->lblAlert, Qt::LeftButton, {}, QPoint(20, 20));
        else
            QTest::mouseClick(alert_->picBackground, Qt::LeftButton, {}, QPoint(300, 20));

        QVERIFY(!alert_->isLoaded() && !alert_->isVisible() && noTimerRuns(*alert_));
        QVERIFY(!mainWindow.isMinimized() && mainWindow.isVisible());
    }

    void realTimersNeverTakeTheFocus()
    {
        QWidget other;
        auto* edit = new QLineEdit(&other);
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        edit->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), edit);
        const auto focusKept = [&] {
            return QApplication::activeWindow() == &other && QApplication::focusWidget() == edit;
        };

        // The whole life runs on the event loop, activation events included.
        alert_->DisplayAlert(QStringLiteral("do not disturb"), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(alert_->isShowing(), 30000);
        QVERIFY(focusKept());
        alert_->tmrAlert_Timer();
        alert_->tmrClose_Timer();

        alert_->DisplayAlert(QStringLiteral("again"), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(alert_->isShowing() || !alert_->isLoaded(), 30000);
        QVERIFY(alert_->isShowing()); // reached full height instead of being unloaded
        QCOMPARE(alert_->size(), QSize(352, 204));
        QVERIFY(focusKept());

        alert_->tmrAlert.setInterval(1); // end the display time now, on the timer itself
        QTRY_VERIFY_WITH_TIMEOUT(!alert_->isLoaded(), 30000);
        QVERIFY(noTimerRuns(*alert_) && focusKept());
    }

    // The animation's edges: a border, a last short step, a pop-up lower than the strip.
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

    // The caption flash.
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

    // The tray icon.
    // The tip holds at most 63 characters.
    void tipText()
    {
        const QString prefix = QStringLiteral("Wispline of ");
        QCOMPARE(TrayIcon::tipText(QStringLiteral(" ravi ")), prefix + QStringLiteral(" ravi "));
        const QString longest(51, QLatin1Char('b'));
        QCOMPARE(TrayIcon::tipText(longest + QLatin1Char('Z')), prefix + longest);
    }

    void installsOnceAndRemovesSafely()
    {
        QWidget window;
        TrayIcon tray;
        tray.remove(); // nothing to remove yet
        tray.install(&window, QStringLiteral("meera"));
        // Without a notification area the client runs on, showing nothing.
        QCOMPARE(tray.isShown(), QSystemTrayIcon::isSystemTrayAvailable());
        tray.install(&window, QStringLiteral("someone else")); // the tip never changes in a run
        QCOMPARE(tray.toolTip(), QStringLiteral("Wispline of meera"));
        tray.remove();
        tray.remove();
        QVERIFY(!tray.isInstalled() && !tray.isShown());
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

private:
    std::unique_ptr<test::Seams> seams_;
    std::unique_ptr<FrmAlert> alert_;
};

QTEST_MAIN(tst_Notify)
#include "tst_notify.moc"
