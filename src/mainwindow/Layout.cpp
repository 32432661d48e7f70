#include "mainwindow/Layout.h"

#include "app/Seams.h"
#include "app/SessionState.h"
#include "app/Theme.h"

#include <QCheckBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QPushButton>
#include <QTextEdit>
#include <algorithm>
#include <cmath>

namespace wispline
{

namespace
{

using C = LayoutControl;
constexpr QLatin1String kNoFont;
constexpr QLatin1String kTimes("Times New Roman");
constexpr QLatin1String kVerdana("Verdana");

const std::vector<Geometry> kSmall = {
    {C::Window, 0, 0, 8970, 4515, kNoFont, 0},
    {C::lblTitle, 0, 0, 3615, 255, kTimes, 10},
    {C::fraLevel1And2, 0, 360, 1695, 3015, kNoFont, 0},
    {C::Label1, 315, 0, 1065, 195, kTimes, 8},
    {C::lstLevel1, 0, 240, 1695, 780, kVerdana, 7},
    {C::Label2, 315, 1080, 1065, 195, kTimes, 8},
    {C::lstLevel2, 0, 1320, 1695, 1680, kVerdana, 7},
    {C::chkAllLevel2, 0, 2760, 2175, 255, kTimes, 8},
    {C::fraLevel3, 1800, 360, 1695, 3015, kNoFont, 0},
    {C::Label3, 375, 0, 1065, 195, kTimes, 8},
    {C::lstLevel3, 0, 240, 1695, 2400, kVerdana, 7},
    {C::chkAllLevel3, 0, 2760, 2175, 255, kTimes, 8},
    {C::fraMessages, 3600, 0, 5175, 3375, kNoFont, 0},
    {C::RTBox, 0, 0, 5175, 3015, kVerdana, 7},
    {C::fraAllMessages, 0, 0, 8775, 3855, kNoFont, 0},
    {C::RTBAllMsgs, 0, 0, 8775, 3855, kVerdana, 7},
    {C::txtSendData, 0, 3485, 7935, 285, kTimes, 8},
    {C::cmdSend, 8040, 3480, 615, 255, kTimes, 8},
};

const std::vector<Geometry> kLarge = {
    {C::Window, 0, 0, 11955, 7380, kNoFont, 0},
    {C::lblTitle, 0, 0, 4455, 255, kVerdana, 12},
    {C::fraLevel1And2, 0, 360, 2175, 5775, kNoFont, 0},
    {C::Label1, 480, 0, 1215, 195, kVerdana, 8},
    {C::lstLevel1, 0, 240, 2175, 1500, kVerdana, 10},
    {C::Label2, 480, 1800, 1215, 195, kVerdana, 8},
    {C::lstLevel2, 0, 2040, 2175, 3420, kVerdana, 10},
    {C::chkAllLevel2, 0, 5520, 2175, 255, kVerdana, 8},
    {C::fraLevel3, 2280, 360, 2295, 5775, kNoFont, 0},
    {C::Label3, 540, 0, 1215, 195, kVerdana, 8},
    {C::lstLevel3, 0, 240, 2295, 5100, kVerdana, 10},
    {C::chkAllLevel3, 0, 5520, 2175, 255, kVerdana, 8},
    {C::fraMessages, 4560, 0, 7335, 6255, kNoFont, 0},
    {C::RTBox, 0, 0, 7215, 5775, kVerdana, 8},
    {C::fraAllMessages, 0, 0, 11895, 6735, kNoFont, 0},
    {C::RTBAllMsgs, 0, 0, 11895, 6735, kVerdana, 8},
    {C::txtSendData, 0, 6240, 10815, 375, kVerdana, 8},
    {C::cmdSend, 10800, 6240, 975, 375, kVerdana, 10},
};

// Levels 0 and 1 share a row. Small, then large.
constexpr LevelValues kLevelSmall[] = {
    {8970, 8175, 8160, 1320}, // 0 or 1
    {8970, 8175, 8160, 1680}, // 2
    {7065, 6135, 6240, 1680}, // 3
};
constexpr LevelValues kLevelLarge[] = {
    {11955, 10695, 10800, 3420},
    {11955, 10695, 10800, 3660},
    {9570, 8415, 8450, 3660},
};
constexpr int kLevel3MessagesLeftSmall = 1800;
constexpr int kLevel3MessagesLeftLarge = 2280;

// A typical desktop frame, for a window that has not been framed yet.
constexpr QMargins kDefaultFrame(8, 31, 8, 8);

// Twips to pixels across and down, at the window's logical resolution.
int pxAcross(const QWidget* w, double twips)
{
    return twipsToPx(twips, w->logicalDpiX());
}

int pxDown(const QWidget* w, double twips)
{
    return twipsToPx(twips, w->logicalDpiY());
}

// The platform will not move or size a minimised or maximised window.
bool windowRefuses(const QWidget* window)
{
    return window->isMinimized() || window->isMaximized();
}

QSize outerSize(const QWidget* window)
{
    return window->size().grownBy(windowFrameMargins(window));
}

void setOuterHeight(QWidget* window, int twips)
{
    const QMargins m = windowFrameMargins(window);
    // Fixed: the layouts give the window's size; a window the user could resize gets a resize
    // strip along its bottom edge from some window managers.
    window->setFixedSize(window->width(), qMax(0, pxDown(window, twips) - m.top() - m.bottom()));
}

void setOuterWidth(QWidget* window, int twips)
{
    const QMargins m = windowFrameMargins(window);
    window->setFixedSize(qMax(0, pxAcross(window, twips) - m.left() - m.right()), window->height());
}

void setLayoutFont(QWidget* w, QLatin1String family, int points)
{
    QFont f = w->font();
    f.setFamily(QString(family));
    f.setPointSize(points);
    w->setFont(f);
}

void setWidthTwips(QWidget* w, int twips)
{
    if (w)
        w->resize(pxAcross(w, twips), w->height());
}

void setHeightTwips(QWidget* w, int twips)
{
    if (w)
        w->resize(w->width(), pxDown(w, twips));
}

void setLeftTwips(QWidget* w, int twips)
{
    if (w)
        w->move(pxAcross(w, twips), w->y());
}

void setShown(QWidget* w, bool shown)
{
    if (w)
        w->setVisible(shown);
}

void setTitle(QLabel* title, const QString& caption, Qt::Alignment alignment)
{
    if (!title)
        return;
    title->setAlignment(alignment | Qt::AlignVCenter);
    title->setText(caption);
}

// The window's client area below the menu bar: the container the top-level frames sit in.
// The window's own layout places it only on its next resize event, so settle it now (through
// activate(), which also places the menu bar above it).
QSize clientSize(const MainControls& c)
{
    QWidget* window = c.window;
    if (QLayout* l = window->layout()) {
        l->invalidate();
        l->activate();
    }
    QWidget* client = c.fraAllMessages ? c.fraAllMessages->parentWidget() : nullptr;
    if (!client)
        client = c.window->centralWidget();
    return client ? client->size() : window->size();
}

bool arrange(const MainControls& c, bool large)
{
    for (const Geometry& row : geometryTable(large)) {
        QWidget* w = layoutWidget(c, row.control);
        if (!w)
            continue;
        if (row.control == C::Window) {
            if (windowRefuses(w))
                return false;
            setOuterHeight(w, row.height);
            setOuterWidth(w, row.width);
            continue;
        }
        w->setGeometry(pxAcross(w, row.left), pxDown(w, row.top), pxAcross(w, row.width),
                       pxDown(w, row.height));
        if (!row.font.isNull())
            setLayoutFont(w, row.font, row.fontSize);
    }
    return true;
}

// A minimised window is put back to normal before the level step sizes it.
void restoreIfMinimised(QWidget* window)
{
    if (window->isMinimized())
        window->setWindowState(window->windowState() &
                               ~(Qt::WindowMinimized | Qt::WindowMaximized));
}

void applyLevelWidth(QWidget* window, int twips)
{
    if (!windowRefuses(window))
        setOuterWidth(window, twips);
}

void centreOnScreen(QWidget* window)
{
    if (windowRefuses(window))
        return;
    const QRect screen = services::screen().geometry();
    const QSize outer = outerSize(window);
    const int left = qRound((screen.width() - outer.width()) / 2.0);
    const int top = qRound((screen.height() - outer.height()) / 2.0);
    // Never outside the usable area: a window larger than it starts at its top-left corner.
    const QRect usable = services::screen().availableGeometry();
    const auto clamp = [](int at, int from, int room) {
        return std::max(from, std::min(at, room));
    };
    window->move(clamp(screen.x() + left, usable.x(), usable.right() + 1 - outer.width()),
                 clamp(screen.y() + top, usable.y(), usable.bottom() + 1 - outer.height()));
}

void showFrames(const MainControls& c, bool large)
{
    const QString title =
        large ? QStringLiteral("Show FramesLarge") : QStringLiteral("Show Frames");
    if (!c.window)
        return;
    arrange(c, large); // a refusal ends only the geometry; the level step still runs
    setShown(c.fraLevel1And2, true);

    bool numeric = false;
    const double level = session().UserLevel.trimmed().toDouble(&numeric);
    if (!numeric || !std::isfinite(level)) {
        showErrorBox(kTypeMismatch, QStringLiteral("Type mismatch"), title);
        return;
    }

    const bool allLevels = level == 0 || level == 1 || level == 2;
    if (allLevels) {
        const LevelValues& v = *levelValuesFor(int(level), large);
        setTitle(c.lblTitle, QStringLiteral("List of All Connected Users"), Qt::AlignHCenter);
        setShown(c.fraLevel3, true);
        restoreIfMinimised(c.window);
        applyLevelWidth(c.window, v.windowWidth);
        setWidthTwips(c.txtSendData, v.txtSendDataWidth);
        setLeftTwips(c.cmdSend, v.cmdSendLeft);
        const bool level2 = level == 2;
        setShown(c.chkAllLevel2, !level2);
        setShown(c.chkAllLevel3, level2);
        setHeightTwips(c.lstLevel2, v.lstLevel2Height);
    } else if (level == 3) {
        const LevelValues& v = *levelValuesFor(3, large);
        setWidthTwips(c.txtSendData, v.txtSendDataWidth);
        setLeftTwips(c.cmdSend, v.cmdSendLeft);
        setTitle(c.lblTitle, QStringLiteral("ConnectedUsers"), Qt::AlignLeft);
        restoreIfMinimised(c.window);
        applyLevelWidth(c.window, v.windowWidth);
        setShown(c.chkAllLevel2, false);
        setHeightTwips(c.lstLevel2, v.lstLevel2Height);
        setLeftTwips(c.fraMessages, level3MessagesLeft(large));
        if (c.fraAllMessages) {
            c.fraAllMessages->resize(clientSize(c));
            if (c.RTBAllMsgs)
                c.RTBAllMsgs->resize(c.fraAllMessages->size());
        }
    }

    centreOnScreen(c.window);
    c.window->update();
}

} // namespace

QWidget* layoutWidget(const MainControls& c, LayoutControl id)
{
    switch (id) {
    case C::Window:
        return c.window;
    case C::lblTitle:
        return c.lblTitle;
    case C::fraLevel1And2:
        return c.fraLevel1And2;
    case C::Label1:
        return c.Label1;
    case C::lstLevel1:
        return c.lstLevel1;
    case C::Label2:
        return c.Label2;
    case C::lstLevel2:
        return c.lstLevel2;
    case C::chkAllLevel2:
        return c.chkAllLevel2;
    case C::fraLevel3:
        return c.fraLevel3;
    case C::Label3:
        return c.Label3;
    case C::lstLevel3:
        return c.lstLevel3;
    case C::chkAllLevel3:
        return c.chkAllLevel3;
    case C::fraMessages:
        return c.fraMessages;
    case C::RTBox:
        return c.RTBox;
    case C::fraAllMessages:
        return c.fraAllMessages;
    case C::RTBAllMsgs:
        return c.RTBAllMsgs;
    case C::txtSendData:
        return c.txtSendData;
    case C::cmdSend:
        return c.cmdSend;
    }
    return nullptr;
}

const std::vector<Geometry>& geometryTable(bool large)
{
    return large ? kLarge : kSmall;
}

const Geometry& geometryFor(LayoutControl control, bool large)
{
    const std::vector<Geometry>& table = geometryTable(large);
    for (const Geometry& row : table) {
        if (row.control == control)
            return row;
    }
    Q_UNREACHABLE();
    return table.front();
}

const LevelValues* levelValuesFor(int level, bool large)
{
    if (level < 0 || level > 3)
        return nullptr;
    const int row = level <= 1 ? 0 : level - 1;
    return large ? &kLevelLarge[row] : &kLevelSmall[row];
}

int level3MessagesLeft(bool large)
{
    return large ? kLevel3MessagesLeftLarge : kLevel3MessagesLeftSmall;
}

QSize windowSizeFor(int level, bool large)
{
    const Geometry& window = geometryFor(C::Window, large);
    const LevelValues* v = levelValuesFor(level, large);
    return QSize(v ? v->windowWidth : window.width, window.height);
}

QString refusedWhileMinMaxDescription()
{
    return QStringLiteral("A form can't be moved or sized while minimized or maximized");
}

QMargins windowFrameMargins(const QWidget* window)
{
    if (window->windowFlags().testFlag(Qt::FramelessWindowHint))
        return {};
    if (window->isVisible()) {
        const QRect frame = window->frameGeometry();
        const QRect inner = window->geometry();
        if (frame != inner)
            return QMargins(inner.left() - frame.left(), inner.top() - frame.top(),
                            frame.right() - inner.right(), frame.bottom() - inner.bottom());
    }
    return kDefaultFrame;
}

bool ArrangeControls(const MainControls& controls)
{
    return arrange(controls, false);
}

bool ArrangeControlsLarge(const MainControls& controls)
{
    return arrange(controls, true);
}

void ShowFrames(const MainControls& controls)
{
    showFrames(controls, false);
}

void ShowFramesLarge(const MainControls& controls)
{
    showFrames(controls, true);
}

} // namespace wispline
