#include "notify/FrmAlert.h"

#include "app/Accessibility.h"
#include "app/Seams.h"
#include "app/Theme.h"

#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QPixmap>
#include <QStyle>
#include <QWindow>

namespace wispline
{

namespace
{
constexpr int kAnimationIntervalMs = 10;
constexpr int kDesignDisplayMs = 5000;
constexpr int kX11NotificationType = 0x000800; // Qt's X11 window type "Notification"
} // namespace

FrmAlert::FrmAlert(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::WindowDoesNotAcceptFocus),
      animation_(float(pxToTwips(kPictureWidthPx)), float(pxToTwips(kPictureHeightPx)))
{
    // A window to a screen reader; the alert itself is announced by the main window.
    setAccessibleRole(this, QAccessible::Window);
    setAccessibleDescription(QStringLiteral("New message"));
    setObjectName(QStringLiteral("frmAlert"));
    setWindowTitle(QStringLiteral("Wispline"));
    // A notification, for the window manager: shown on top of every application, without the
    // focus, also while the main window is minimised or another program is active. A utility
    // window (or any window transient for ours) is hidden by some managers (KWin) whenever our
    // application is not the active one, which is when an alert matters most. On X11 Qt takes
    // the type from this property when it creates the native window; a native widget has its
    // window handle before that.
    setAttribute(Qt::WA_NativeWindow);
    if (QWindow* handle = windowHandle())
        handle->setProperty("_q_xcb_wm_window_type", kX11NotificationType);
    setAttribute(Qt::WA_QuitOnClose, false);
    // Showing the pop-up must never pull the keyboard away from the window the user types in.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setFocusPolicy(Qt::NoFocus);

    picBackground = new QLabel(this);
    picBackground->setObjectName(QStringLiteral("picBackground"));
    picBackground->setGeometry(0, 0, kPictureWidthPx, kPictureHeightPx);
    picBackground->setPixmap(QPixmap(QStringLiteral(":/wispline/alert.png")));
    picBackground->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    picBackground->setFocusPolicy(Qt::NoFocus);

    lblAlert = new QLabel(picBackground);
    lblAlert->setObjectName(QStringLiteral("lblAlert"));
    lblAlert->setGeometry(twipsToPx(120), twipsToPx(960), twipsToPx(2775), twipsToPx(1935));
    // Message bodies come from other users: never interpret them as markup.
    lblAlert->setTextFormat(Qt::PlainText);
    lblAlert->setWordWrap(true);
    lblAlert->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblAlert->setFocusPolicy(Qt::NoFocus);
    QFont font(QStringLiteral("MS Sans Serif"));
    font.setPointSizeF(9.75);
    font.setBold(true);
    lblAlert->setFont(font);
    QPalette pal = lblAlert->palette();
    pal.setColor(QPalette::WindowText, Qt::black);
    lblAlert->setPalette(pal);

    picBackground->installEventFilter(this);
    lblAlert->installEventFilter(this);

    tmrOpen.setInterval(kAnimationIntervalMs);
    tmrClose.setInterval(kAnimationIntervalMs);
    tmrAlert.setInterval(kDesignDisplayMs);
    connect(&tmrOpen, &QTimer::timeout, this, &FrmAlert::tmrOpen_Timer);
    connect(&tmrAlert, &QTimer::timeout, this, &FrmAlert::tmrAlert_Timer);
    connect(&tmrClose, &QTimer::timeout, this, &FrmAlert::tmrClose_Timer);

    resize(kPictureWidthPx, kPictureHeightPx);
}

void FrmAlert::setMainWindow(QWidget* mainWindow)
{
    mainWindow_ = mainWindow;
}

void FrmAlert::DisplayAlert(const QString& MessageText, int Duration)
{
    // A display or a close still running from an earlier alert would otherwise cut the new one
    // short: a close under way unloads it at its next tick, a display timer shrinks it while it
    // is still opening.
    tmrAlert.stop();
    tmrClose.stop();

    MakeTopmost(this, true);
    lblAlert->setText(MessageText);
    // Outside the timers' range the interval keeps its last value.
    if (Duration >= 0 && Duration <= kTimerMaxInterval)
        tmrAlert.setInterval(Duration);

    // The client area of a full-screen window: the available area less one caption. Starting
    // from the whole available height would leave the pop-up's last text line off-screen.
    const QRect area = services::screen().availableGeometry();
    screenOrigin_ = area.topLeft();
    mlScreenWidthPx = area.width();
    mlScreenHeightPx =
        area.height() - style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);

    mlBorderWidth = roundHalfEven(pxToTwips(frameGeometry().width() - width()));
    mlBorderHeight = roundHalfEven(pxToTwips(frameGeometry().height() - height()));
    animation_.setPicture(float(pxToTwips(picBackground->width())),
                          float(pxToTwips(picBackground->height())));
    animation_.setBorder(mlBorderWidth, mlBorderHeight);
    animation_.start(mlScreenWidthPx, mlScreenHeightPx, float(kTwipsPerPixel),
                     float(kTwipsPerPixel));
    applyGeometry();

    if (QApplication::activeWindow() != this)
        previousActive_ = QApplication::activeWindow();
    show();
    picBackground->update();

    state_ = State::Opening;
    tmrOpen.start();
    MakeTopmost(this, true);
}

void FrmAlert::MakeTopmost(QWidget* pobjForm, bool pblnMakeTopmost)
{
    if (!pobjForm)
        return;
    QWidget* window = pobjForm->window();
    if (window->windowFlags().testFlag(Qt::WindowStaysOnTopHint) != pblnMakeTopmost) {
        // Changing the flags of a shown window hides it; show it again as it was.
        const bool wasVisible = window->isVisible();
        window->setWindowFlag(Qt::WindowStaysOnTopHint, pblnMakeTopmost);
        if (wasVisible)
            window->show();
    }
    if (pblnMakeTopmost && window->isVisible())
        window->raise();
}

void FrmAlert::tmrOpen_Timer()
{
    if (animation_.openStep() == AlertAnimation::OpenResult::FullHeight) {
        tmrOpen.stop();
        startDisplayTime();
        return;
    }
    applyGeometry();
}

void FrmAlert::startDisplayTime()
{
    state_ = State::Showing;
    // An interval of 0 is a timer that never fires: the pop-up then stays until clicked.
    if (tmrAlert.interval() > 0)
        tmrAlert.start();
}

void FrmAlert::tmrAlert_Timer()
{
    tmrAlert.stop();
    state_ = State::Closing;
    tmrClose.start();
}

void FrmAlert::tmrClose_Timer()
{
    if (animation_.closeStep() == AlertAnimation::CloseResult::Unload) {
        unload();
        return;
    }
    applyGeometry();
}

void FrmAlert::lblAlert_Click()
{
    clickToClose();
}

void FrmAlert::picBackground_Click()
{
    clickToClose();
}

void FrmAlert::clickToClose()
{
    if (mainWindow_ && mainWindow_->isMinimized())
        mainWindow_->showNormal();
    unload();
}

bool FrmAlert::dismiss()
{
    if (!isLoaded())
        return false;
    unload();
    return true;
}

void FrmAlert::unload()
{
    tmrOpen.stop();
    tmrAlert.stop();
    tmrClose.stop();
    state_ = State::NotLoaded;
    hide();
}

bool FrmAlert::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress) {
        if (watched == lblAlert) {
            lblAlert_Click();
            return true;
        }
        if (watched == picBackground) {
            picBackground_Click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FrmAlert::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // Some window systems activate every window they show, whatever it asks for. Hand the
    // keyboard straight back so typing goes on where it was.
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && previousActive_ &&
        previousActive_->isVisible())
        previousActive_->activateWindow();
}

void FrmAlert::applyGeometry()
{
    // Edges are converted, not sizes, so the bottom edge stays on the same pixel row while
    // the height changes.
    const int left = twipsToPx(animation_.left());
    const int top = twipsToPx(animation_.top());
    const int right = twipsToPx(animation_.left() + animation_.width());
    const int bottom = twipsToPx(animation_.bottom());
    setGeometry(screenOrigin_.x() + left, screenOrigin_.y() + top, right - left, bottom - top);
}

} // namespace wispline
