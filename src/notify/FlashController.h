#pragma once
// Draws attention to the main window when a message arrives: a burst of three caption
// inversions, one per tick of `FlashTimer`.
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <functional>

class QWidget;

namespace wispline
{

class FlashController : public QObject
{
    Q_OBJECT
public:
    static constexpr int kBurstLength = 3;
    static constexpr int kTimerMaxInterval = 65535; // the timer's interval range is 0..65535 ms

    explicit FlashController(QWidget* window, QObject* parent = nullptr);

    // Disables the timer and sets its interval to twice the caret blink time. Returns false,
    // changing nothing else, when that interval lies outside the timer's range; the caller
    // reports it as a start-up failure.
    bool prepare(int caretBlinkMs);
    // Starts a burst, or lets one in progress run on: the count is not reset, so messages that
    // arrive during a burst do not lengthen it.
    void start();
    void stop();

    // One caption inversion. Defaults to asking the desktop to flash the window for one tick.
    void setInvert(std::function<void()> invert);

    QTimer FlashTimer;
    int FlashCount = 0;

public slots:
    void FlashTimer_Timer();

private:
    QPointer<QWidget> window_;
    std::function<void()> invert_;
};

} // namespace wispline
