#pragma once
// The two layouts of the main window (small and large) and the parts of them that depend on the
// user's level. Positions and sizes are kept in twips, as the layouts were designed, and turned
// into pixels only when they are applied.
#include "mainwindow/MainControls.h"

#include <QLatin1String>
#include <QMargins>
#include <QSize>
#include <QString>
#include <vector>

class QWidget;

namespace wispline
{

// The placed controls, in the order the geometry routines apply them.
enum class LayoutControl {
    Window,
    lblTitle,
    fraLevel1And2,
    Label1,
    lstLevel1,
    Label2,
    lstLevel2,
    chkAllLevel2,
    fraLevel3,
    Label3,
    lstLevel3,
    chkAllLevel3,
    fraMessages,
    RTBox,
    fraAllMessages,
    RTBAllMsgs,
    txtSendData,
    cmdSend,
};

// One row of a geometry table. Twips; left and top are relative to the control's container
// (the window's client area below the menu bar, or the frame). The window row holds the outer
// size of the window (frame and caption included) and no position.
struct Geometry {
    LayoutControl control;
    int left;
    int top;
    int width;
    int height;
    QLatin1String font; // null when the row sets no font
    int fontSize;       // points; 0 when the row sets no font
};

// The widget of `controls` a table row places (the window for the window row).
QWidget* layoutWidget(const MainControls& controls, LayoutControl control);

// The whole table of one size, window row first, in application order.
const std::vector<Geometry>& geometryTable(bool large);
const Geometry& geometryFor(LayoutControl control, bool large);

// What the level step changes (twips).
struct LevelValues {
    int windowWidth;
    int txtSendDataWidth;
    int cmdSendLeft;
    int lstLevel2Height;
};
// `level` 0 to 3; nullptr for any other level.
const LevelValues* levelValuesFor(int level, bool large);
// Where the messages frame moves for a level 3 user (twips).
int level3MessagesLeft(bool large);
// The outer window size (twips) a level ends up with: the table's height, the level's width.
// Levels without a level step keep the table's width.
QSize windowSizeFor(int level, bool large);

// The refusal the platform gives when asked to move or size a minimised or maximised window.
constexpr int kRefusedWhileMinMax = 384;
QString refusedWhileMinMaxDescription();
constexpr int kTypeMismatch = 13;

// The window's frame and caption around its client area, in pixels: measured once the window
// is on screen with a frame; a typical desktop frame before that (or on a frameless platform).
QMargins windowFrameMargins(const QWidget* window);

// Apply the small / large geometry: window height, then width, then every control in table
// order. Returns false when the window is minimised or maximised: the platform refuses the first
// step and the routine ends there, the controls keeping their previous geometry.
bool ArrangeControls(const MainControls& controls);
bool ArrangeControlsLarge(const MainControls& controls);

// Apply the geometry, then show what the level in session().UserLevel may see and centre the
// window on the screen. A level that is not a number ends with the "Show Frames" /
// "Show FramesLarge" error box after the geometry has been applied and fraLevel1And2 shown.
void ShowFrames(const MainControls& controls);
void ShowFramesLarge(const MainControls& controls);

} // namespace wispline
