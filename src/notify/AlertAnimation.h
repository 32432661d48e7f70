#pragma once
// The pop-up's geometry in twips and its grow/shrink steps. Kept apart from the window so the
// arithmetic can be driven tick by tick without a screen.
#include <cstdint>

namespace wispline
{

// Rounds half to even (2.5 -> 2, 3.5 -> 4), as window positions and sizes are rounded.
std::int32_t roundHalfEven(double value);

class AlertAnimation
{
public:
    static constexpr int kStartHeight = 90;   // the thin strip the pop-up starts as
    static constexpr int kStartBelow = 300;   // how far below the client area the strip starts
    static constexpr int kStep = 30;          // growth or shrink per tick
    static constexpr int kUnloadHeight = 120; // closing ends at or below this height

    enum class OpenResult { Grew, FullHeight };
    enum class CloseResult { Shrunk, Unload };

    // The picture's size in twips defines the pop-up's full size.
    AlertAnimation(float pictureWidth, float pictureHeight);

    void setPicture(float pictureWidth, float pictureHeight);
    // Outer minus inner size of the window, in twips.
    void setBorder(std::int32_t borderWidth, std::int32_t borderHeight);

    // Back to the start position: a thin strip whose right edge touches the right edge of the
    // client area of a full-screen window (the given size) and whose top lies just below its
    // bottom.
    void start(std::int32_t screenWidthPx, std::int32_t screenHeightPx, float twipsPerPixelX,
               float twipsPerPixelY);

    // One opening tick: grows upward with the bottom edge fixed, or reports that the full
    // height was already reached (the display time starts then, without a change).
    OpenResult openStep();
    // One closing tick: shrinks downward with the bottom edge fixed, or reports that the
    // pop-up must be unloaded.
    CloseResult closeStep();

    float left() const { return left_; }
    float top() const { return top_; }
    float width() const { return width_; }
    float height() const { return height_; }
    float bottom() const { return top_ + height_; }
    float pictureWidth() const { return pictureWidth_; }
    float pictureHeight() const { return pictureHeight_; }
    std::int32_t borderWidth() const { return borderWidth_; }
    std::int32_t borderHeight() const { return borderHeight_; }
    // Picture height plus the border height.
    float fullHeight() const { return pictureHeight_ + float(borderHeight_); }

private:
    float pictureWidth_;
    float pictureHeight_;
    std::int32_t borderWidth_ = 0;
    std::int32_t borderHeight_ = 0;
    float left_ = 0;
    float top_ = 0;
    float width_ = 0;
    float height_ = 0;
};

} // namespace wispline
