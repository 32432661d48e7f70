#include "notify/FrmAlert.h"

#include "TestSeams.h"

#include <QLabel>
#include <QLineEdit>
#include <QtTest>
#include <memory>

using wispline::FrmAlert;

namespace
{

// Runs the opening tick by tick; returns the ticks taken, the one that starts the display
// included.
int driveOpening(FrmAlert& alert)
{
    int ticks = 0;
    for (; alert.isOpening() && ticks < 1000; ++ticks)
        alert.tmrOpen_Timer();
    return ticks;
}

bool noTimerRuns(const FrmAlert& alert)
{
    return !alert.tmrOpen.isActive() && !alert.tmrAlert.isActive() && !alert.tmrClose.isActive();
}

} // namespace

class tst_FrmAlert : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startPlacement_data();
    void startPlacement();
    void fullLifecycle();
    void displayTime_data();
    void displayTime();
    void restartShowsTheNewAlertInFull_data();
    void restartShowsTheNewAlertInFull();
    void restartWhileClosingOnTheRealTimers();
    void clickClosesAndRestores_data();
    void clickClosesAndRestores();
    void makeTopmostKeepsTheWindowShown();
    void neverTakesTheFocus();

private:
    std::unique_ptr<wispline::test::Seams> seams_;
    std::unique_ptr<FrmAlert> alert_;
};

void tst_FrmAlert::init()
{
    seams_ = std::make_unique<wispline::test::Seams>();
    alert_ = std::make_unique<FrmAlert>();
}

void tst_FrmAlert::cleanup()
{
    alert_.reset();
    seams_.reset();
}

void tst_FrmAlert::startPlacement_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<QRect>("strip");
    QTest::newRow("area at the origin") << QRect(0, 0, 1024, 740) << QRect(672, 760, 352, 6);
    QTest::newRow("panels shift the area") << QRect(48, 30, 1232, 994) << QRect(928, 1044, 352, 6);
}

void tst_FrmAlert::startPlacement()
{
    QFETCH(QRect, area);
    QFETCH(QRect, strip);
    seams_->screen.available = area;

    alert_->DisplayAlert(QStringLiteral("Hello"), 3000);
    QVERIFY(alert_->isVisible());
    QVERIFY(alert_->isOpening());
    QVERIFY(alert_->tmrOpen.isActive());
    QCOMPARE(alert_->geometry(), strip);
    QVERIFY(alert_->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
}

void tst_FrmAlert::fullLifecycle()
{
    const QString text = QStringLiteral("<b>lunch</b> &amp; <img src=x>");
    alert_->DisplayAlert(text, 3000);
    // Texts from other users are never read as markup.
    QCOMPARE(alert_->lblAlert->text(), text);
    QCOMPARE(alert_->lblAlert->textFormat(), Qt::PlainText);
    const int bottom = alert_->geometry().bottom();
    QCOMPARE(bottom + 1, 740 + 26); // 390 twips below the screen area

    int ticks = 0;
    for (; alert_->isOpening() && ticks < 1000; ++ticks) {
        alert_->tmrOpen_Timer();
        QCOMPARE(alert_->geometry().bottom(), bottom);
    }
    // 204 px = 3060 twips: 99 steps of 30 from 90, then the tick that starts the display.
    QCOMPARE(ticks, 100);
    QVERIFY(alert_->isShowing());
    QVERIFY(alert_->tmrAlert.isActive());
    QVERIFY(!alert_->tmrOpen.isActive());
    QCOMPARE(alert_->size(), QSize(352, 204));

    alert_->tmrAlert_Timer();
    QVERIFY(alert_->isClosing());
    QVERIFY(!alert_->tmrAlert.isActive());
    QVERIFY(alert_->tmrClose.isActive());

    for (ticks = 0; alert_->isClosing() && ticks < 1000; ++ticks) {
        alert_->tmrClose_Timer();
        if (alert_->isClosing())
            QCOMPARE(alert_->geometry().bottom(), bottom);
    }
    QCOMPARE(ticks, 99); // 98 shrinks down to 120 twips, then the unload
    QVERIFY(!alert_->isLoaded());
    QVERIFY(!alert_->isVisible());
    QVERIFY(noTimerRuns(*alert_));
}

void tst_FrmAlert::displayTime_data()
{
    QTest::addColumn<QList<int>>("durations");
    QTest::addColumn<int>("interval");
    QTest::newRow("later call sets its own time") << QList<int>{3000, 1200} << 1200;
    QTest::newRow("negative keeps the last time") << QList<int>{2500, -1} << 2500;
    QTest::newRow("beyond the timer range keeps the last") << QList<int>{2500, 70000} << 2500;
    QTest::newRow("zero stays until clicked") << QList<int>{0} << 0;
}

void tst_FrmAlert::displayTime()
{
    QFETCH(QList<int>, durations);
    QFETCH(int, interval);

    for (int d : durations)
        alert_->DisplayAlert(QString(), d);
    QCOMPARE(alert_->tmrAlert.interval(), interval);
    driveOpening(*alert_);
    QVERIFY(alert_->isShowing());
    QCOMPARE(alert_->tmrAlert.isActive(), interval > 0);
}

void tst_FrmAlert::restartShowsTheNewAlertInFull_data()
{
    QTest::addColumn<int>("openTicks");
    QTest::addColumn<int>("closeTicks"); // -1: the display time has not ended
    QTest::newRow("while opening") << 20 << -1;
    QTest::newRow("while showing") << 1000 << -1;
    QTest::newRow("right after closing began") << 1000 << 0;
    QTest::newRow("late in the close") << 1000 << 95;
    QTest::newRow("after it unloaded") << 1000 << 1000;
}

void tst_FrmAlert::restartShowsTheNewAlertInFull()
{
    QFETCH(int, openTicks);
    QFETCH(int, closeTicks);

    alert_->DisplayAlert(QStringLiteral("first"), 3000);
    for (int i = 0; i < openTicks && alert_->isOpening(); ++i)
        alert_->tmrOpen_Timer();
    if (closeTicks >= 0) {
        alert_->tmrAlert_Timer();
        for (int i = 0; i < closeTicks && alert_->isClosing(); ++i)
            alert_->tmrClose_Timer();
    }

    alert_->DisplayAlert(QStringLiteral("second"), 3000);
    QCOMPARE(alert_->lblAlert->text(), QStringLiteral("second"));
    QCOMPARE(alert_->geometry(), QRect(672, 760, 352, 6));
    // Nothing left over from the first alert may cut the second one short.
    QVERIFY(alert_->tmrOpen.isActive());
    QVERIFY(!alert_->tmrAlert.isActive());
    QVERIFY(!alert_->tmrClose.isActive());
    QCOMPARE(driveOpening(*alert_), 100);
    QVERIFY(alert_->isShowing());
    QVERIFY(alert_->isVisible());
    QCOMPARE(alert_->size(), QSize(352, 204));
}

void tst_FrmAlert::restartWhileClosingOnTheRealTimers()
{
    alert_->DisplayAlert(QStringLiteral("first"), 3000);
    driveOpening(*alert_);
    alert_->tmrAlert_Timer();
    alert_->tmrClose_Timer();

    alert_->DisplayAlert(QStringLiteral("second"), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(alert_->isShowing() || !alert_->isLoaded(), 30000);
    QVERIFY(alert_->isShowing()); // reached full height instead of being unloaded
    QCOMPARE(alert_->size(), QSize(352, 204));

    alert_->tmrAlert.setInterval(1); // end the display time now, on the timer itself
    QTRY_VERIFY_WITH_TIMEOUT(!alert_->isLoaded(), 30000);
    QVERIFY(!alert_->isVisible());
    QVERIFY(noTimerRuns(*alert_));
}

void tst_FrmAlert::clickClosesAndRestores_data()
{
    QTest::addColumn<bool>("onLabel");
    QTest::addColumn<bool>("minimised");
    QTest::newRow("label, main window minimised") << true << true;
    QTest::newRow("background, main window minimised") << false << true;
    QTest::newRow("label, main window normal") << true << false;
}

void tst_FrmAlert::clickClosesAndRestores()
{
    QFETCH(bool, onLabel);
    QFETCH(bool, minimised);

    QWidget mainWindow;
    minimised ? mainWindow.showMinimized() : mainWindow.show();
    alert_->setMainWindow(&mainWindow);
    alert_->DisplayAlert(QStringLiteral("click me"), 3000);
    driveOpening(*alert_);
    QVERIFY(QTest::qWaitForWindowExposed(alert_.get()));

    if (onLabel)
        QTest::mouseClick(alert_->lblAlert, Qt::LeftButton, {}, QPoint(20, 20));
    else
        QTest::mouseClick(alert_->picBackground, Qt::LeftButton, {}, QPoint(300, 20));

    QVERIFY(!alert_->isLoaded());
    QVERIFY(!alert_->isVisible());
    QVERIFY(noTimerRuns(*alert_));
    QVERIFY(!mainWindow.isMinimized());
    QVERIFY(mainWindow.isVisible());
}

void tst_FrmAlert::makeTopmostKeepsTheWindowShown()
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

void tst_FrmAlert::neverTakesTheFocus()
{
    QWidget other;
    auto* edit = new QLineEdit(&other);
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    edit->setFocus();
    QTRY_COMPARE(QApplication::focusWidget(), edit);

    for (const char* text : {"do not disturb", "again"}) {
        alert_->DisplayAlert(QString::fromLatin1(text), 60000);
        // The whole opening runs on the event loop, activation events included.
        QTRY_VERIFY_WITH_TIMEOUT(alert_->isShowing(), 30000);
        QCOMPARE(QApplication::activeWindow(), &other);
        QCOMPARE(QApplication::focusWidget(), edit);
    }
}

QTEST_MAIN(tst_FrmAlert)
#include "tst_frmalert.moc"
