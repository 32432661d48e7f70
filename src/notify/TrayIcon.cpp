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
    tip_ = tipText(userName);
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return;
    QIcon image(QStringLiteral(":/wispline/wispline.png"));
    if (image.isNull() && window)
        image = window->windowIcon();
    // No activation handler and no menu: the icon only shows its tip.
    icon_ = std::make_unique<QSystemTrayIcon>(image);
    icon_->setToolTip(tip_);
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

bool TrayIcon::isShown() const
{
    return icon_ && icon_->isVisible();
}

} // namespace wispline
