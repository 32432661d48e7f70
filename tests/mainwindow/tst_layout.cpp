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

QSize pxSize(const QSize& t)
{
    return QSize(twipsToPx(t.width()), twipsToPx(t.height()));
}

QPoint centredOn(const QRect& screen, const QSize& outer)
{
    return screen.topLeft() + QPoint(qRound((screen.width() - outer.width()) / 2.0),
                                     qRound((screen.height() - outer.height()) / 2.0));
}

void runShowFrames(const MainControls& c, bool large)
{
    large ? ShowFramesLarge(c) : ShowFrames(c);
}

} // namespace

class TestLayout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void tableRows_data();
    void tableRows();
    void arrangeAppliesWholeTable_data();
    void arrangeAppliesWholeTable();
    void showFramesByLevel_data();
    void showFramesByLevel();
    void level3AllMessagesFillClientArea_data();
    void level3AllMessagesFillClientArea();
    void levelNotANumber_data();
    void levelNotANumber();
    void otherNumberSkipsLevelStep();
    void minimisedWindowRestoredAndCentred();
    void maximisedWindowKeepsPlace();
    void centredOnScreen_data();
    void centredOnScreen();
    void layoutFontsReplaceThemeFont();

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

void TestLayout::tableRows_data()
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

void TestLayout::tableRows()
{
    QFETCH(LayoutControl, control);
    QFETCH(bool, large);
    QFETCH(QRect, twips);
    QFETCH(QString, font);
    QFETCH(int, fontSize);

    const Geometry& g = geometryFor(control, large);
    QCOMPARE(QRect(g.left, g.top, g.width, g.height), twips);
    QCOMPARE(g.font.isNull(), font.isNull());
    QCOMPARE(QString(g.font), font);
    QCOMPARE(g.fontSize, fontSize);
}

void TestLayout::arrangeAppliesWholeTable_data()
{
    QTest::addColumn<bool>("large");
    QTest::newRow("small") << false;
    QTest::newRow("large") << true;
}

void TestLayout::arrangeAppliesWholeTable()
{
    QFETCH(bool, large);
    const MainControls& c = w_->c;

    QVERIFY(large ? ArrangeControlsLarge(c) : ArrangeControls(c));

    for (const Geometry& row : geometryTable(large)) {
        QWidget* widget = layoutWidget(c, row.control);
        if (row.control == LayoutControl::Window) {
            QCOMPARE(w_->outer(), pxSize(QSize(row.width, row.height)));
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
    // window width, txtSendData width, cmdSend left, lstLevel2 height, fraMessages left (twips)
    QTest::addColumn<QList<int>>("twips");
    QTest::addColumn<QString>("title");
    QTest::addColumn<bool>("level3Shown");
    QTest::addColumn<bool>("allLevel2Shown");
    QTest::addColumn<bool>("allLevel3Shown");

    const QString all = QStringLiteral("List of All Connected Users");
    QTest::newRow("small level 0")
        << false << "0" << QList<int>{8970, 8175, 8160, 1320, 3600} << all << true << true << false;
    QTest::newRow("small level 3") << false << "3" << QList<int>{7065, 6135, 6240, 1680, 1800}
                                   << "ConnectedUsers" << false << false << true;
    QTest::newRow("large level 1") << true << "1" << QList<int>{11955, 10695, 10800, 3420, 4560}
                                   << all << true << true << false;
    QTest::newRow("large level 2") << true << "2" << QList<int>{11955, 10695, 10800, 3660, 4560}
                                   << all << true << false << true;
    QTest::newRow("large level 3") << true << "3" << QList<int>{9570, 8415, 8450, 3660, 2280}
                                   << "ConnectedUsers" << false << false << true;
}

void TestLayout::showFramesByLevel()
{
    QFETCH(bool, large);
    QFETCH(QString, level);
    QFETCH(QList<int>, twips);
    QFETCH(QString, title);
    QFETCH(bool, level3Shown);
    QFETCH(bool, allLevel2Shown);
    QFETCH(bool, allLevel3Shown);
    const MainControls& c = w_->c;
    w_->window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w_->window));
    session().UserLevel = level;

    runShowFrames(c, large);

    QCOMPARE(seams_->boxes.count(), 0);
    const int height = geometryFor(LayoutControl::Window, large).height;
    QCOMPARE(w_->outer(), pxSize(QSize(twips[0], height)));
    QCOMPARE(c.txtSendData->width(), twipsToPx(twips[1]));
    QCOMPARE(c.cmdSend->x(), twipsToPx(twips[2]));
    QCOMPARE(c.lstLevel2->height(), twipsToPx(twips[3]));
    QCOMPARE(c.fraMessages->x(), twipsToPx(twips[4]));
    QCOMPARE(c.lblTitle->text(), title);
    const bool centred = title != QStringLiteral("ConnectedUsers");
    QCOMPARE(bool(c.lblTitle->alignment() & Qt::AlignHCenter), centred);
    QCOMPARE(bool(c.lblTitle->alignment() & Qt::AlignLeft), !centred);
    QVERIFY(c.fraLevel1And2->isVisible());
    QCOMPARE(c.fraLevel3->isVisible(), level3Shown);
    QCOMPARE(c.chkAllLevel2->isVisible(), allLevel2Shown);
    QCOMPARE(c.chkAllLevel3->isVisibleTo(c.fraLevel3), allLevel3Shown);
    QVERIFY(c.chkAllSelectedLevel2->isHidden());
    QCOMPARE(c.RTBox->geometry(), pxRect(geometryFor(LayoutControl::RTBox, large)));
    QCOMPARE(w_->window.pos(), centredOn(seams_->screen.whole, w_->outer()));
}

void TestLayout::level3AllMessagesFillClientArea_data()
{
    QTest::addColumn<bool>("large");
    QTest::addColumn<bool>("shown");
    QTest::newRow("large on screen") << true << true;
    QTest::newRow("small before the window is shown") << false << false;
}

void TestLayout::level3AllMessagesFillClientArea()
{
    QFETCH(bool, large);
    QFETCH(bool, shown);
    const MainControls& c = w_->c;
    if (shown) {
        w_->window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w_->window));
    }
    session().UserLevel = QStringLiteral("3");

    runShowFrames(c, large);

    const QSize fill = c.fraAllMessages->size();
    const QMargins m = windowFrameMargins(&w_->window);
    QCOMPARE(fill.width(), twipsToPx(windowSizeFor(3, large).width()) - m.left() - m.right());
    // The menu bar is not client area.
    QVERIFY(w_->window.menuBar()->height() > 0);
    QCOMPARE(fill.height(), w_->window.height() - w_->window.menuBar()->height());
    QCOMPARE(c.RTBAllMsgs->size(), fill);
    QTRY_COMPARE(w_->window.centralWidget()->size(), fill);
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

    runShowFrames(c, large);

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

void TestLayout::otherNumberSkipsLevelStep()
{
    const MainControls& c = w_->c;
    session().UserLevel = QStringLiteral("4");

    ShowFrames(c);

    QCOMPARE(seams_->boxes.count(), 0);
    QVERIFY(!c.fraLevel1And2->isHidden());
    QVERIFY(c.fraLevel3->isHidden());
    QCOMPARE(c.txtSendData->geometry(), pxRect(geometryFor(LayoutControl::txtSendData, false)));
    QCOMPARE(w_->window.pos(), centredOn(seams_->screen.whole, w_->outer()));
}

void TestLayout::minimisedWindowRestoredAndCentred()
{
    const MainControls& c = w_->c;
    session().UserLevel = QStringLiteral("3");
    w_->window.resize(300, 200);
    c.RTBox->setGeometry(1, 2, 30, 40);
    w_->window.setWindowState(Qt::WindowMinimized);

    QVERIFY(!ArrangeControlsLarge(c));
    QCOMPARE(w_->window.size(), QSize(300, 200));
    ShowFramesLarge(c);

    QCOMPARE(seams_->boxes.count(), 0);
    QVERIFY(!w_->window.isMinimized());
    // The geometry stopped at the height; the level step set the width.
    QCOMPARE(w_->window.height(), 200);
    QCOMPARE(w_->outer().width(), twipsToPx(windowSizeFor(3, true).width()));
    QCOMPARE(c.RTBox->geometry(), QRect(1, 2, 30, 40));
    QVERIFY(!c.fraLevel1And2->isHidden());
    QCOMPARE(w_->window.pos(), centredOn(seams_->screen.whole, w_->outer()));
}

void TestLayout::maximisedWindowKeepsPlace()
{
    const MainControls& c = w_->c;
    session().UserLevel = QStringLiteral("3");
    w_->window.setGeometry(40, 50, 700, 500);
    c.RTBox->setGeometry(1, 2, 30, 40);
    w_->window.setWindowState(Qt::WindowMaximized);
    const QRect before = w_->window.geometry();

    ShowFrames(c);

    QCOMPARE(seams_->boxes.count(), 0);
    QVERIFY(w_->window.isMaximized());
    QCOMPARE(w_->window.geometry(), before);
    QCOMPARE(c.RTBox->geometry(), QRect(1, 2, 30, 40));
    // Visibility, captions and the level step's control changes still apply.
    QVERIFY(!c.fraLevel1And2->isHidden());
    QCOMPARE(c.lblTitle->text(), QStringLiteral("ConnectedUsers"));
    QCOMPARE(c.txtSendData->width(), twipsToPx(6135));
    QCOMPARE(c.fraMessages->x(), twipsToPx(1800));
    QCOMPARE(c.fraAllMessages->width(), before.width());
}

void TestLayout::centredOnScreen_data()
{
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<bool>("large");
    QTest::addColumn<QString>("level");
    QTest::addColumn<QPoint>("topLeft");

    // 598 x 301 px (8970 x 4515 twips): top 233.5 rounds to 234.
    QTest::newRow("small level 0 on 1024x768")
        << QRect(0, 0, 1024, 768) << false << "0" << QPoint(213, 234);
    // 638 x 492 px (9570 x 7380 twips).
    QTest::newRow("large level 3 on 1024x768")
        << QRect(0, 0, 1024, 768) << true << "3" << QPoint(193, 138);
    // 471 x 301 px on a screen right of the first one.
    QTest::newRow("small level 3 on a second screen")
        << QRect(1280, 0, 1920, 1080) << false << "3" << QPoint(1280 + 725, 390);
    QTest::newRow("window wider than the screen")
        << QRect(0, 0, 560, 400) << false << "1" << QPoint(-19, 50);
}

void TestLayout::centredOnScreen()
{
    QFETCH(QRect, screen);
    QFETCH(bool, large);
    QFETCH(QString, level);
    QFETCH(QPoint, topLeft);
    seams_->screen.whole = screen;
    session().UserLevel = level;

    runShowFrames(w_->c, large);

    QCOMPARE(w_->window.pos(), topLeft);
}

void TestLayout::layoutFontsReplaceThemeFont()
{
    const MainControls& c = w_->c;
    ArrangeControls(c);
    applyThemeToWindow(&w_->window);
    QCOMPARE(c.lblTitle->font().family(), QStringLiteral("MS Sans Serif"));
    session().UserLevel = QStringLiteral("2");

    ShowFramesLarge(c);

    QCOMPARE(c.lblTitle->font().family(), QStringLiteral("Verdana"));
    QCOMPARE(c.lblTitle->font().pointSize(), 12);
    QCOMPARE(c.cmdSend->font().pointSize(), 10);
    QVERIFY(c.cmdSend->font().bold()); // the theme's bold buttons stay bold
}

QTEST_MAIN(TestLayout)
#include "tst_layout.moc"
