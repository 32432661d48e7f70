#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/Theme.h"
#include "logon/FrmLogin.h"
#include "mainwindow/FrmWisplineClient.h"
#include "mainwindow/Layout.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTextEdit>
#include <QtTest>
#include <memory>

using namespace wispline;

namespace
{

// The client's own window, with what the load hides hidden.
struct TestWindow {
    FrmLogin login;
    FrmWisplineClient window{&login};
    const MainControls& c = window.controls();

    TestWindow()
    {
        c.fraLevel1And2->hide();
        c.fraLevel3->hide();
        c.chkAllLevel2->hide();
    }
    QSize outer() const { return window.size().grownBy(windowFrameMargins(&window)); }
};

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT
    std::unique_ptr<test::Sandbox> sb_;
    std::unique_ptr<TestWindow> w_;

private slots:
    void init()
    {
        sb_ = std::make_unique<test::Sandbox>();
        w_ = std::make_unique<TestWindow>();
    }

    void cleanup()
    {
        w_.reset();
        sb_.reset();
    }

    // The geometry alone: sizes from the table, the layout's fonts over the theme's (bold
    // buttons stay bold), no resize strip, and what the level decides stays hidden.
    void arrangeControls()
    {
        const MainControls& c = w_->c;
        // Twips at the logical resolution: also where the text is larger and nothing is scaled.
        const int dpi = w_->window.logicalDpiY();
        const auto px = [dpi](int x, int y, int width, int height) {
            return QRect(twipsToPx(x, dpi), twipsToPx(y, dpi), twipsToPx(width, dpi),
                         twipsToPx(height, dpi));
        };
        const auto font = [](const QWidget* w) {
            return w->font().family() + ' ' + QString::number(w->font().pointSize());
        };
        applyThemeToWindow(&w_->window);
        QVERIFY(ArrangeControls(c));
        QCOMPARE(c.RTBox->geometry(), px(0, 0, 5175, 3015));
        QCOMPARE(c.txtSendData->geometry(), px(0, 3485, 7935, 285));
        QCOMPARE(font(c.RTBox) + '|' + font(c.txtSendData),
                 QStringLiteral("Verdana 7|Times New Roman 8"));
        QVERIFY(ArrangeControlsLarge(c));
        QCOMPARE(w_->outer(), px(0, 0, 11955, 7380).size());
        QCOMPARE(w_->window.maximumSize(), w_->window.minimumSize());
        QCOMPARE(c.fraLevel3->geometry(), px(2280, 360, 2295, 5775));
        QCOMPARE(c.cmdSend->geometry(), px(10800, 6240, 975, 375));
        QCOMPARE(font(c.cmdSend), QStringLiteral("Verdana 10"));
        QVERIFY(c.cmdSend->font().bold());
        QVERIFY(c.fraLevel1And2->isHidden() && c.chkAllLevel2->isHidden());
    }

    // No caption of the fixed layouts is cut: at the usual resolution, and (run again as
    // tst_layout_larger_text) where the desktop's text is half as large again and the windows
    // are not scaled with it.
    void captionsFit_data()
    {
        QTest::addColumn<QString>("window");
        QTest::addColumn<QString>("level");
        QTest::newRow("small layout, level 1") << "small"
                                               << "1";
        QTest::newRow("small layout, level 2") << "small"
                                               << "2";
        QTest::newRow("large layout, level 1") << "large"
                                               << "1";
        QTest::newRow("large layout, level 2") << "large"
                                               << "2";
        QTest::newRow("log-on view") << "logon"
                                     << "";
        QTest::newRow("password view") << "password"
                                       << "";
    }

    void captionsFit()
    {
        QFETCH(QString, window);
        QFETCH(QString, level);
        QWidget* shown = &w_->window;
        if (window == QLatin1String("logon") || window == QLatin1String("password")) {
            shown = &w_->login;
            w_->login.FramePassword->setVisible(window == QLatin1String("password"));
            w_->login.FrameLogin->setVisible(window == QLatin1String("logon"));
        } else {
            session().UserLevel = level;
            applyThemeToWindow(shown);
            window == QLatin1String("large") ? ShowFramesLarge(w_->c) : ShowFrames(w_->c);
        }
        QStringList cut;
        for (QWidget* w : shown->findChildren<QWidget*>()) {
            if (!w->isVisibleTo(shown))
                continue;
            QString text;
            int room = w->width();
            if (auto* label = qobject_cast<QLabel*>(w)) {
                text = label->text();
                room = label->contentsRect().width();
            } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
                text = box->text();
                QStyleOptionButton option;
                option.initFrom(box);
                room =
                    box->style()->subElementRect(QStyle::SE_CheckBoxContents, &option, box).width();
            } else if (auto* button = qobject_cast<QPushButton*>(w)) {
                text = button->text();
            }
            const QStringList lines =
                text.remove(QLatin1Char('&')).trimmed().split(QLatin1Char('\n'));
            const QFontMetrics metrics = w->fontMetrics();
            // The ink of the letters must show; the line's leading may overhang.
            int widest = 0;
            for (const QString& line : lines)
                widest = qMax(widest, metrics.horizontalAdvance(line.trimmed()));
            const int tall = metrics.tightBoundingRect(lines.join(QString())).height() +
                             int(lines.size() - 1) * metrics.lineSpacing();
            if (!text.isEmpty() && (widest > room || tall > w->height()))
                cut << QStringLiteral("%1: %2x%3 in %4x%5")
                           .arg(text)
                           .arg(widest)
                           .arg(tall)
                           .arg(room)
                           .arg(w->height());
        }
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
    }

    void showFramesByLevel_data()
    {
        QTest::addColumn<bool>("large");
        QTest::addColumn<QString>("level");
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<bool>("onScreen");
        // window width, txtSendData width, cmdSend left, lstLevel2 height, fraMessages left (twips)
        QTest::addColumn<QList<int>>("twips");
        QTest::addColumn<QString>("title");
        QTest::addColumn<Qt::Alignment>("titleAlign");
        QTest::addColumn<QStringList>("shown"); // of fraLevel3, chkAllLevel2, chkAllLevel3
        QTest::addColumn<QPoint>("topLeft");
        QTest::addColumn<QRect>("usable"); // the screen less panels; null: the whole screen

        using T = QList<int>;
        const QRect xga(0, 0, 1024, 768);
        const QString all = QStringLiteral("List of All Connected Users");
        const QString users = QStringLiteral("ConnectedUsers");
        const Qt::Alignment centre(Qt::AlignHCenter), left(Qt::AlignLeft);
        const QStringList with2{"fraLevel3", "chkAllLevel2"}, with3{"fraLevel3", "chkAllLevel3"};
        const QStringList only3{"chkAllLevel3"};
        // 598 x 301 px: top 233.5 rounds to 234.
        QTest::newRow("small level 0")
            << false << "0" << xga << true << T{8970, 8175, 8160, 1320, 3600} << all << centre
            << with2 << QPoint(213, 234) << QRect();
        QTest::newRow("small level 1, window wider than the screen: at its left edge")
            << false << "1" << QRect(0, 0, 560, 400) << false << T{8970, 8175, 8160, 1320, 3600}
            << all << centre << with2 << QPoint(0, 50) << QRect();
        // 797 x 492 px centred at top 4, below a 30 px top panel.
        QTest::newRow("large level 1, centred under a top panel")
            << true << "1" << QRect(0, 0, 800, 500) << false << T{11955, 10695, 10800, 3420, 4560}
            << all << centre << with2 << QPoint(2, 30) << QRect(0, 30, 800, 470);
        // 471 x 301 px on a screen right of the first one.
        QTest::newRow("small level 3 on a second screen, not yet shown")
            << false << "3" << QRect(1280, 0, 1920, 1080) << false
            << T{7065, 6135, 6240, 1680, 1800} << users << left << only3 << QPoint(1280 + 725, 390)
            << QRect();
        QTest::newRow("small level 4 skips the level step")
            << false << "4" << xga << true << T{8970, 7935, 8040, 1680, 3600} << all << left
            << only3 << QPoint(213, 234) << QRect();
        QTest::newRow("large level 2")
            << true << "2" << xga << true << T{11955, 10695, 10800, 3660, 4560} << all << centre
            << with3 << QPoint(114, 138) << QRect();
        // 638 x 492 px.
        QTest::newRow("large level 3")
            << true << "3" << xga << true << T{9570, 8415, 8450, 3660, 2280} << users << left
            << only3 << QPoint(193, 138) << QRect();
    }

    void showFramesByLevel()
    {
        QFETCH(bool, large);
        QFETCH(QString, level);
        QFETCH(QRect, screen);
        QFETCH(bool, onScreen);
        QFETCH(QList<int>, twips);
        QFETCH(QString, title);
        QFETCH(Qt::Alignment, titleAlign);
        QFETCH(QStringList, shown);
        QFETCH(QPoint, topLeft);
        QFETCH(QRect, usable);
        const MainControls& c = w_->c;
        FrmWisplineClient& window = w_->window;
        sb_->seams.screen.whole = screen;
        sb_->seams.screen.available = usable.isNull() ? screen : usable;
        if (onScreen) {
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
        }
        session().UserLevel = level;

        large ? ShowFramesLarge(c) : ShowFrames(c);

        QVERIFY(sb_->seams.boxes.shown.isEmpty());
        QCOMPARE(w_->outer(), QSize(twipsToPx(twips[0]), twipsToPx(large ? 7380 : 4515)));
        QCOMPARE(c.txtSendData->width(), twipsToPx(twips[1]));
        QCOMPARE(c.cmdSend->x(), twipsToPx(twips[2]));
        QCOMPARE(c.lstLevel2->height(), twipsToPx(twips[3]));
        QCOMPARE(c.fraMessages->x(), twipsToPx(twips[4]));
        QCOMPARE(c.lblTitle->text(), title);
        QCOMPARE(c.lblTitle->alignment() & Qt::AlignHorizontal_Mask, titleAlign);
        QVERIFY(c.fraLevel1And2->isVisibleTo(&window) && c.chkAllSelectedLevel2->isHidden());
        QCOMPARE(c.fraLevel3->isVisibleTo(&window), shown.contains("fraLevel3"));
        QCOMPARE(c.chkAllLevel2->isVisibleTo(c.fraLevel1And2), shown.contains("chkAllLevel2"));
        QCOMPARE(c.chkAllLevel3->isVisibleTo(c.fraLevel3), shown.contains("chkAllLevel3"));
        QCOMPARE(window.pos(), topLeft);

        if (level == QStringLiteral("3")) {
            // The all-messages view fills the client area; the menu bar is not client area.
            const QSize fill = c.fraAllMessages->size();
            QCOMPARE(fill, QSize(window.width(), window.height() - window.menuBar()->height()));
            QCOMPARE(c.RTBAllMsgs->size(), fill);
            QTRY_COMPARE(window.centralWidget()->size(), fill);
        }
    }

    void levelNotANumber_data()
    {
        QTest::addColumn<bool>("large");
        QTest::addColumn<QString>("level");
        QTest::addColumn<QString>("title");
        QTest::newRow("large before the level is known") << true << ""
                                                         << "Show FramesLarge";
        QTest::newRow("small, letters") << false << "x3"
                                        << "Show Frames";
    }

    void levelNotANumber()
    {
        QFETCH(bool, large);
        QFETCH(QString, level);
        QFETCH(QString, title);
        const MainControls& c = w_->c;
        session().UserLevel = level;
        w_->window.move(5, 6);
        large ? ShowFramesLarge(c) : ShowFrames(c);
        QCOMPARE(sb_->seams.boxes.lines(),
                 QStringList{test::box(title, BoxIcon::Critical, "13\r\nType mismatch")});
        // The geometry and the level 1 and 2 frame came first; no level step, no centring.
        QCOMPARE(c.cmdSend->x(), twipsToPx(large ? 10800 : 8040));
        QVERIFY(!c.fraLevel1And2->isHidden());
        QVERIFY(c.fraLevel3->isHidden() && c.chkAllLevel2->isHidden());
        QCOMPARE(w_->window.pos(), QPoint(5, 6));
    }

    void minimisedOrMaximised_data()
    {
        QTest::addColumn<Qt::WindowState>("state");
        QTest::newRow("minimised: restored, sized by the level and centred") << Qt::WindowMinimized;
        QTest::newRow("maximised: keeps its place") << Qt::WindowMaximized;
    }

    void minimisedOrMaximised()
    {
        QFETCH(Qt::WindowState, state);
        const MainControls& c = w_->c;
        FrmWisplineClient& window = w_->window;
        session().UserLevel = QStringLiteral("3");
        window.setGeometry(40, 50, 700, 500);
        c.RTBox->setGeometry(1, 2, 30, 40);
        window.setWindowState(state);
        const QRect before = window.geometry();

        QVERIFY(!ArrangeControlsLarge(c));
        QCOMPARE(window.geometry(), before);
        ShowFramesLarge(c);

        QCOMPARE(sb_->seams.boxes.count(), 0);
        QCOMPARE(c.RTBox->geometry(), QRect(1, 2, 30, 40)); // the geometry stopped at the window
        // Captions and the level step's control changes still apply.
        QCOMPARE(c.lblTitle->text(), QStringLiteral("ConnectedUsers"));
        QCOMPARE(c.txtSendData->width(), twipsToPx(8415));
        if (state == Qt::WindowMaximized) {
            QVERIFY(window.isMaximized());
            QCOMPARE(window.geometry(), before);
            return;
        }
        QVERIFY(!window.isMinimized());
        QCOMPARE(window.height(), before.height()); // the level step sets the width only
        const QSize outer = w_->outer();
        QCOMPARE(outer.width(), twipsToPx(9570));
        QCOMPARE(window.pos(), QPoint(qRound((1024 - outer.width()) / 2.0),
                                      qRound((768 - outer.height()) / 2.0)));
    }
};

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
