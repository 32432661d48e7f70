#pragma once
// The pop-up that announces an incoming message: it grows up from the bottom right corner of
// the screen area, stays for the display time, shrinks away and unloads itself. It is kept above
// all other windows and never takes the keyboard focus, so typing elsewhere loses nothing.
#include "notify/AlertAnimation.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <cstdint>

class QLabel;

namespace wispline
{

class FrmAlert : public QWidget
{
    Q_OBJECT
public:
    enum class State { NotLoaded, Opening, Showing, Closing };

    static constexpr int kPictureWidthPx = 352;
    static constexpr int kPictureHeightPx = 204;
    static constexpr int kTimerMaxInterval = 65535; // the timers' interval range is 0..65535 ms

    explicit FrmAlert(QWidget* parent = nullptr);

    // Shows `MessageText` (plain text) and starts the opening; the pop-up stays at full height
    // for `Duration` ms. Returns at once; the animation runs on the timers. A call while the
    // pop-up is already up starts it afresh with the new text.
    void DisplayAlert(const QString& MessageText, int Duration);
    // Puts the window into the top-most layer (true) or takes it out (false).
    static void MakeTopmost(QWidget* pobjForm, bool pblnMakeTopmost);
    // Takes the pop-up away at once, as a click does, for the keyboard. Returns whether it was up.
    bool dismiss();
    // The window a click on the pop-up brings back from the minimised state.
    void setMainWindow(QWidget* mainWindow);

    State state() const { return state_; }
    bool isOpening() const { return state_ == State::Opening; }
    bool isShowing() const { return state_ == State::Showing; }
    bool isClosing() const { return state_ == State::Closing; }
    bool isLoaded() const { return state_ != State::NotLoaded; }
    AlertAnimation& animation() { return animation_; }
    const AlertAnimation& animation() const { return animation_; }

    // Controls.
    QLabel* picBackground = nullptr;
    QLabel* lblAlert = nullptr;
    QTimer tmrOpen;
    QTimer tmrClose;
    QTimer tmrAlert;

    // Window variables: the client area of a full-screen window in pixels and the frame size
    // in twips.
    std::int32_t mlScreenWidthPx = 0;
    std::int32_t mlScreenHeightPx = 0;
    std::int32_t mlBorderWidth = 0;
    std::int32_t mlBorderHeight = 0;

public slots:
    void tmrOpen_Timer();
    void tmrAlert_Timer();
    void tmrClose_Timer();
    void lblAlert_Click();
    void picBackground_Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void clickToClose();
    void unload();
    void startDisplayTime();
    // Moves and sizes the window to the animation's twips, relative to the screen area.
    void applyGeometry();

    AlertAnimation animation_;
    State state_ = State::NotLoaded;
    QPointer<QWidget> mainWindow_;
    QPointer<QWidget> previousActive_; // the window that had the keyboard when the alert came
    QPoint screenOrigin_;
};

} // namespace wispline
