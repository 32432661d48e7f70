#include "notify/TrayIcon.h"

#include <QIcon>
#include <QSystemTrayIcon>
#include <QWidget>

namespace wispline
{

TrayIcon::TrayIcon() = default;

TrayIcon::~TrayIcon() = default;

QString TrayIcon::tipText(const QString& userName)
{
    // The field is the tip, a NUL and space padding: one character of it always goes to the NUL.
    return (QStringLiteral("Wispline of ") + userName).left(kTipFieldLength - 1);
}

void TrayIcon::install(QWidget* window, const QString& userName)
{
    if (installed_)
        return;
    installed_ = true;
    window_ = window;
    tip_ = tipText(userName);
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    QIcon image(QStringLiteral(":/wispline/wispline.png"));
    if (image.isNull() && window)
        image = window->windowIcon();
    // No menu: the icon shows its tip and brings the window back.
    icon_ = std::make_unique<QSystemTrayIcon>(image);
    icon_->setToolTip(tip_);
    QObject::connect(icon_.get(), &QSystemTrayIcon::activated, icon_.get(),
                     [this](QSystemTrayIcon::ActivationReason reason) { activate(reason); });
    icon_->show();
}

void TrayIcon::remove()
{
    if (icon_) {
        icon_->hide();
        icon_.reset();
    }
    installed_ = false;
}

void TrayIcon::activate(QSystemTrayIcon::ActivationReason reason)
{
    if (!window_ || (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick))
        return;
    // Restored to what it was before it was minimised (a maximised window stays maximised).
    window_->setWindowState(window_->windowState() & ~Qt::WindowMinimized);
    window_->show();
    window_->raise();
    window_->activateWindow();
}

bool TrayIcon::isShown() const
{
    return icon_ && icon_->isVisible();
}

} // namespace wispline
