#include "notify/FlashController.h"

#include <QApplication>
#include <QWidget>

namespace wispline
{

FlashController::FlashController(QWidget* window, QObject* parent)
    : QObject(parent), window_(window)
{
    invert_ = [this] {
        if (window_)
            QApplication::alert(window_, FlashTimer.interval());
    };
    connect(&FlashTimer, &QTimer::timeout, this, &FlashController::FlashTimer_Timer);
}

bool FlashController::prepare(int caretBlinkMs)
{
    FlashTimer.stop();
    const qint64 interval = qint64(caretBlinkMs) * 2;
    if (interval < 0 || interval > kTimerMaxInterval)
        return false;
    FlashTimer.setInterval(int(interval));
    return true;
}

void FlashController::start()
{
    // An interval of 0 is a timer that never ticks: no burst flashes then.
    if (FlashTimer.interval() <= 0)
        return;
    // Restarting a running timer would push its next tick back; messages arriving faster than
    // the tick would then hold the burst up for as long as they keep coming.
    if (!FlashTimer.isActive())
        FlashTimer.start();
}

void FlashController::stop()
{
    FlashTimer.stop();
}

void FlashController::setInvert(std::function<void()> invert)
{
    invert_ = std::move(invert);
}

void FlashController::FlashTimer_Timer()
{
    if (FlashCount >= kBurstLength) {
        FlashCount = 0;
        FlashTimer.stop();
        return;
    }
    ++FlashCount;
    if (invert_)
        invert_();
}

} // namespace wispline
