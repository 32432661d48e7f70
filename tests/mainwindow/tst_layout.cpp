#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/Theme.h"
#include "mainwindow/Layout.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>
#include <memory>

using namespace wispline;

namespace
{

// Built the way the client builds its window: a menu bar, a central widget holding the frames
// at absolute positions, the controls inside the frames, and what the load hides.
struct TestWindow {
    QMainWindow window;
    MainControls c;

    TestWindow()
    {
        window.menuBar()->addMenu(QStringLiteral("&Masters"));
        auto* client = new QWidget(&window);
        window.setCentralWidget(client);
        c.window = &window;
        c.lblTitle = new QLabel(QStringLiteral("List of All Connected Users"), client);
        c.fraLevel1And2 = new FrameBox(client);
        c.Label1 = new QLabel(c.fraLevel1And2);
        c.lstLevel1 = new QListWidget(c.fraLevel1And2);
        c.Label2 = new QLabel(c.fraLevel1And2);
        c.lstLevel2 = new QListWidget(c.fraLevel1And2);
        c.chkAllSelectedLevel2 = new QCheckBox(c.fraLevel1And2);
        c.chkAllSelectedLevel2->hide();
        c.chkAllLevel2 = new QCheckBox(c.fraLevel1And2);
        c.fraLevel3 = new FrameBox(client);
        c.Label3 = new QLabel(c.fraLevel3);
        c.lstLevel3 = new QListWidget(c.fraLevel3);
        c.chkAllLevel3 = new QCheckBox(c.fraLevel3);
        c.fraMessages = new FrameBox(client);
        c.RTBox = new QTextEdit(c.fraMessages);
        c.fraAllMessages = new FrameBox(client);
        c.fraAllMessages->hide();
        c.RTBAllMsgs = new QTextEdit(c.fraAllMessages);
        c.txtSendData = new QLineEdit(client);
        c.cmdSend = new QPushButton(QStringLiteral("&Send"), client);
        c.fraLevel1And2->hide();
        c.fraLevel3->hide();
        c.chkAllLevel2->hide();
    }
    QSize outer() const { return window.size().grownBy(windowFrameMargins(&window)); }
};

QRect pxRect(const Geometry& g)
{
    return QRect(twipsToPx(g.left), twipsToPx(g.top), twipsToPx(g.width), twipsToPx(g.height));
}

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void arrangeControls_data();
    void arrangeControls();
    void showFramesByLevel_data();
    void showFramesByLevel();
    void levelNotANumber_data();
    void levelNotANumber();
    void minimisedOrMaximised_data();
    void minimisedOrMaximised();

private:
    std::unique_ptr<test::Seams> seams_;
    std::unique_ptr<TestWindow> w_;
};

void TestLayout::init()
{
    seams_ = std::make_unique<test::Seams>();
    resetSession();
    w_ = std::make_unique<TestWindow>();
}

void TestLayout::cleanup()
{
    w_.reset();
    seams_.reset();
    resetSession();
}

void TestLayout::arrangeControls_data()
{
    QTest::addColumn<LayoutControl>("control");
    QTest::addColumn<bool>("large");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("font");
    QTest::addColumn<int>("fontSize");

    QTest::newRow("window large") << LayoutControl::Window << true << QRect(0, 0, 11955, 7380)
                                  << QString() << 0;
    QTest::newRow("RTBox small") << LayoutControl::RTBox << false << QRect(0, 0, 5175, 3015)
                                 << "Verdana" << 7;
    QTest::newRow("txtSendData small") << LayoutControl::txtSendData << false
                                       << QRect(0, 3485, 7935, 285) << "Times New Roman" << 8;
    QTest::newRow("fraLevel3 large sets no font")
        << LayoutControl::fraLevel3 << true << QRect(2280, 360, 2295, 5775) << QString() << 0;
    QTest::newRow("cmdSend large")
        << LayoutControl::cmdSend << true << QRect(10800, 6240, 975, 375) << "Verdana" << 10;
}

void TestLayout::arrangeControls()
{
    QFETCH(LayoutControl, control);
    QFETCH(bool, large);
    QFETCH(QRect, twips);
    QFETCH(QString, font);
    QFETCH(int, fontSize);
    const MainControls& c = w_->c;

    const Geometry& g = geometryFor(control, large);
    QCOMPARE(QRect(g.left, g.top, g.width, g.height), twips);
    QCOMPARE(g.font.isNull(), font.isNull());
    QCOMPARE(QString(g.font), font);
    QCOMPARE(g.fontSize, fontSize);

    // The theme sets its own fonts; the layout's fonts replace them (bold buttons stay bold).
    applyThemeToWindow(&w_->window);
    QCOMPARE(c.lblTitle->font().family(), QStringLiteral("MS Sans Serif"));
    QVERIFY(large ? ArrangeControlsLarge(c) : ArrangeControls(c));
    QVERIFY(c.cmdSend->font().bold());
    for (const Geometry& row : geometryTable(large)) {
        QWidget* widget = layoutWidget(c, row.control);
        if (row.control == LayoutControl::Window) {
            QCOMPARE(w_->outer(), QSize(twipsToPx(row.width), twipsToPx(row.height)));
            QCOMPARE(w_->window.maximumSize(), w_->window.minimumSize()); // no resize strip
            continue;
        }
        QCOMPARE(widget->geometry(), pxRect(row));
        if (!row.font.isNull()) {
            QCOMPARE(widget->font().family(), QString(row.font));
            QCOMPARE(widget->font().pointSize(), row.fontSize);
        }
    }
    // Geometry only: what the level decides stays hidden.
    QVERIFY(c.fraLevel1And2->isHidden());
    QVERIFY(c.chkAllLevel2->isHidden());
}

void TestLayout::showFramesByLevel_data()
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
    QTest::newRow("small level 0") << false << "0" << xga << true << T{8970, 8175, 8160, 1320, 3600}
                                   << all << centre << with2 << QPoint(213, 234) << QRect();
    QTest::newRow("small level 1, window wider than the screen: at its left edge")
        << false << "1" << QRect(0, 0, 560, 400) << false << T{8970, 8175, 8160, 1320, 3600} << all
        << centre << with2 << QPoint(0, 50) << QRect();
    // 797 x 492 px centred at top 4, below a 30 px top panel.
    QTest::newRow("large level 1, centred under a top panel")
        << true << "1" << QRect(0, 0, 800, 500) << false << T{11955, 10695, 10800, 3420, 4560}
        << all << centre << with2 << QPoint(2, 30) << QRect(0, 30, 800, 470);
    // 471 x 301 px on a screen right of the first one.
    QTest::newRow("small level 3 on a second screen, not yet shown")
        << false << "3" << QRect(1280, 0, 1920, 1080) << false << T{7065, 6135, 6240, 1680, 1800}
        << users << left << only3 << QPoint(1280 + 725, 390) << QRect();
    QTest::newRow("small level 4 skips the level step")
        << false << "4" << xga << true << T{8970, 7935, 8040, 1680, 3600} << all << left << only3
        << QPoint(213, 234) << QRect();
    QTest::newRow("large level 1")
        << true << "1" << xga << true << T{11955, 10695, 10800, 3420, 4560} << all << centre
        << with2 << QPoint(114, 138) << QRect();
    QTest::newRow("large level 2")
        << true << "2" << xga << true << T{11955, 10695, 10800, 3660, 4560} << all << centre
        << with3 << QPoint(114, 138) << QRect();
    // 638 x 492 px.
    QTest::newRow("large level 3") << true << "3" << xga << true << T{9570, 8415, 8450, 3660, 2280}
                                   << users << left << only3 << QPoint(193, 138) << QRect();
}

void TestLayout::showFramesByLevel()
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
    QMainWindow& window = w_->window;
    seams_->screen.whole = screen;
    seams_->screen.available = usable.isNull() ? screen : usable;
    if (onScreen) {
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
    }
    session().UserLevel = level;

    large ? ShowFramesLarge(c) : ShowFrames(c);

    QCOMPARE(seams_->boxes.count(), 0);
    const int height = geometryFor(LayoutControl::Window, large).height;
    QCOMPARE(w_->outer(), QSize(twipsToPx(twips[0]), twipsToPx(height)));
    QCOMPARE(c.txtSendData->width(), twipsToPx(twips[1]));
    QCOMPARE(c.cmdSend->x(), twipsToPx(twips[2]));
    QCOMPARE(c.lstLevel2->height(), twipsToPx(twips[3]));
    QCOMPARE(c.fraMessages->x(), twipsToPx(twips[4]));
    QCOMPARE(c.RTBox->geometry(), pxRect(geometryFor(LayoutControl::RTBox, large)));
    QCOMPARE(c.lblTitle->text(), title);
    QCOMPARE(c.lblTitle->alignment() & Qt::AlignHorizontal_Mask, titleAlign);
    QVERIFY(c.fraLevel1And2->isVisibleTo(&window));
    QCOMPARE(c.fraLevel3->isVisibleTo(&window), shown.contains("fraLevel3"));
    QCOMPARE(c.chkAllLevel2->isVisibleTo(c.fraLevel1And2), shown.contains("chkAllLevel2"));
    QCOMPARE(c.chkAllLevel3->isVisibleTo(c.fraLevel3), shown.contains("chkAllLevel3"));
    QVERIFY(c.chkAllSelectedLevel2->isHidden());
    QCOMPARE(window.pos(), topLeft);

    if (level == QStringLiteral("3")) {
        // The all-messages view fills the client area; the menu bar is not client area.
        const QSize fill = c.fraAllMessages->size();
        QVERIFY(window.menuBar()->height() > 0);
        QCOMPARE(fill, QSize(window.width(), window.height() - window.menuBar()->height()));
        QCOMPARE(c.RTBAllMsgs->size(), fill);
        QTRY_COMPARE(window.centralWidget()->size(), fill);
    }
}

void TestLayout::levelNotANumber_data()
{
    QTest::addColumn<bool>("large");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QString>("title");
    QTest::newRow("small before the level is known") << false << ""
                                                     << "Show Frames";
    QTest::newRow("large before the level is known") << true << ""
                                                     << "Show FramesLarge";
    QTest::newRow("letters") << false << "x3"
                             << "Show Frames";
}

void TestLayout::levelNotANumber()
{
    QFETCH(bool, large);
    QFETCH(QString, level);
    QFETCH(QString, title);
    const MainControls& c = w_->c;
    session().UserLevel = level;
    w_->window.move(5, 6);
    bool geometryApplied = false;
    bool level1And2Shown = false;
    seams_->boxes.onShow = [&](const BoxRequest&) {
        geometryApplied =
            c.cmdSend->geometry() == pxRect(geometryFor(LayoutControl::cmdSend, large));
        level1And2Shown = !c.fraLevel1And2->isHidden();
    };

    large ? ShowFramesLarge(c) : ShowFrames(c);

    QCOMPARE(seams_->boxes.count(), 1);
    QCOMPARE(seams_->boxes.last().text, QStringLiteral("13\r\nType mismatch"));
    QCOMPARE(seams_->boxes.last().title, title);
    QCOMPARE(seams_->boxes.last().icon, BoxIcon::Critical);
    QVERIFY(geometryApplied);
    QVERIFY(level1And2Shown);
    // The routine ended there: no level step, no centring.
    QVERIFY(c.fraLevel3->isHidden());
    QVERIFY(c.chkAllLevel2->isHidden());
    QCOMPARE(w_->window.pos(), QPoint(5, 6));
}

void TestLayout::minimisedOrMaximised_data()
{
    QTest::addColumn<Qt::WindowState>("state");
    QTest::newRow("minimised: restored, sized by the level and centred") << Qt::WindowMinimized;
    QTest::newRow("maximised: keeps its place") << Qt::WindowMaximized;
}

void TestLayout::minimisedOrMaximised()
{
    QFETCH(Qt::WindowState, state);
    const MainControls& c = w_->c;
    QMainWindow& window = w_->window;
    session().UserLevel = QStringLiteral("3");
    window.setGeometry(40, 50, 700, 500);
    c.RTBox->setGeometry(1, 2, 30, 40);
    window.setWindowState(state);
    const QRect before = window.geometry();

    QVERIFY(!ArrangeControlsLarge(c));
    QCOMPARE(window.geometry(), before);
    ShowFramesLarge(c);

    QCOMPARE(seams_->boxes.count(), 0);
    QCOMPARE(c.RTBox->geometry(), QRect(1, 2, 30, 40)); // the geometry stopped at the window
    // Visibility, captions and the level step's control changes still apply.
    QVERIFY(!c.fraLevel1And2->isHidden());
    QCOMPARE(c.lblTitle->text(), QStringLiteral("ConnectedUsers"));
    QCOMPARE(c.txtSendData->width(), twipsToPx(8415));
    QCOMPARE(c.fraMessages->x(), twipsToPx(2280));
    if (state == Qt::WindowMaximized) {
        QVERIFY(window.isMaximized());
        QCOMPARE(window.geometry(), before);
        QCOMPARE(c.fraAllMessages->width(), before.width());
        return;
    }
    QVERIFY(!window.isMinimized());
    QCOMPARE(window.height(), before.height()); // the level step sets the width only
    const QSize outer = w_->outer();
    QCOMPARE(outer.width(), twipsToPx(9570));
    QCOMPARE(window.pos(),
             QPoint(qRound((1024 - outer.width()) / 2.0), qRound((768 - outer.height()) / 2.0)));
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
