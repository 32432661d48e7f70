#pragma once
// The colour scheme shared by the three windows, and the units the layouts are given in.
#include <QColor>
#include <QFrame>
#include <QList>
#include <cstdint>

class QWidget;

namespace wispline
{

// A frame of a window: a plain container that the theme paints like the window.
class FrameBox : public QFrame
{
    Q_OBJECT
public:
    explicit FrameBox(QWidget* parent = nullptr);
};

// 0x00BBGGRR -> QColor
QColor colorFromBgr(std::uint32_t bgr);
constexpr int kTwipsPerPixel = 15;
inline int twipsToPx(double twips)
{
    return qRound(twips / kTwipsPerPixel);
}
// Twips are 1/1440 of a logical inch, as points are 1/72 of one: converted at the screen's logical
// resolution, a box keeps room for its caption when the desktop's text is set larger and the
// window is not scaled with it.
inline int twipsToPx(double twips, int logicalDpi)
{
    return qRound(twips * logicalDpi / 1440.0);
}
inline double pxToTwips(int px)
{
    return double(px) * kTwipsPerPixel;
}

// Paints each control of the collection by its kind: check boxes, combo boxes, frames,
// labels, text boxes, option buttons and command buttons; other kinds are left alone.
void ApplyTheme(const QList<QWidget*>& controls);
// ApplyTheme over every child control of `window`, then the window's own colours.
void applyThemeToWindow(QWidget* window);

} // namespace wispline
