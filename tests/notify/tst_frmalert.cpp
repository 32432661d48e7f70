#include "notify/FrmAlert.h"

#include "TestSeams.h"

#include <QLabel>
#include <QLineEdit>
#include <QStyle>
#include <QtTest>
#include <memory>

using wispline::FrmAlert;

namespace
{

bool noTimerRuns(const FrmAlert& alert)
{
    return !alert.tmrOpen.isActive() && !alert.tmrAlert.isActive() && !alert.tmrClose.isActive();
}

} // namespace

class tst_FrmAlert : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        seams_ = std::make_unique<wispline::test::Seams>();
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

    void makeTopmostKeepsTheWindowShown()
    {
        for (bool topmost : {true, false}) {
            QWidget w;
            w.setWindowFlag(Qt::WindowStaysOnTopHint, !topmost);
            w.show();
            FrmAlert::MakeTopmost(&w, topmost);
            QCOMPARE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint), topmost);
            QVERIFY(w.isVisible()); // changing the layer must not hide it
        }
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

private:
    std::unique_ptr<wispline::test::Seams> seams_;
    std::unique_ptr<FrmAlert> alert_;
};

QTEST_MAIN(tst_FrmAlert)
#include "tst_frmalert.moc"
