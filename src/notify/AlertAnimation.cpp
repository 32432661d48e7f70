#include "notify/AlertAnimation.h"

#include <cmath>

namespace wispline
{

std::int32_t roundHalfEven(double value)
{
    double whole = std::floor(value);
    const double fraction = value - whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0.0))
        whole += 1.0;
    return std::int32_t(whole);
}

AlertAnimation::AlertAnimation(float pictureWidth, float pictureHeight)
    : pictureWidth_(pictureWidth), pictureHeight_(pictureHeight)
{
}

void AlertAnimation::setPicture(float pictureWidth, float pictureHeight)
{
    pictureWidth_ = pictureWidth;
    pictureHeight_ = pictureHeight;
}

void AlertAnimation::setBorder(std::int32_t borderWidth, std::int32_t borderHeight)
{
    borderWidth_ = borderWidth;
    borderHeight_ = borderHeight;
}

void AlertAnimation::start(std::int32_t screenWidthPx, std::int32_t screenHeightPx,
                           float twipsPerPixelX, float twipsPerPixelY)
{
    height_ = float(kStartHeight);
    width_ = pictureWidth_ + float(borderWidth_);
    left_ = twipsPerPixelX * float(screenWidthPx) - width_;
    top_ = twipsPerPixelY * float(screenHeightPx) + float(kStartBelow);
}

AlertAnimation::OpenResult AlertAnimation::openStep()
{
    const std::int32_t current = roundHalfEven(height_);
    const float full = fullHeight();
    if (full <= float(current))
        return OpenResult::FullHeight;
    std::int32_t next = current + kStep;
    if (full < float(next))
        next = roundHalfEven(full);
    // A full height that rounds down to the current one would otherwise grow by nothing on
    // every tick and never start the display time.
    if (next <= current)
        return OpenResult::FullHeight;
    const std::int32_t growth = next - current;
    height_ += float(growth);
    top_ -= float(growth);
    return OpenResult::Grew;
}

AlertAnimation::CloseResult AlertAnimation::closeStep()
{
    const std::int32_t h = roundHalfEven(height_);
    if (h <= kUnloadHeight)
        return CloseResult::Unload;
    height_ = float(h - kStep);
    top_ += float(kStep);
    return CloseResult::Shrunk;
}

} // namespace wispline
