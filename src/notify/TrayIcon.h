#pragma once
// The notification-area icon whose tip names the logged-on user. Informative only: clicks on it
// do nothing. Where the desktop has no notification area the client runs on without it.
#include <QString>
#include <memory>

class QSystemTrayIcon;
class QWidget;

namespace wispline
{

class TrayIcon
{
public:
    // The tip field holds 64 characters including its closing NUL.
    static constexpr int kTipFieldLength = 64;

    TrayIcon();
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // "Wispline of " + the user name, cut to what the tip field holds.
    static QString tipText(const QString& userName);

    // Adds the icon once; later calls change nothing (the tip never changes during a run).
    void install(QWidget* window, const QString& userName);
    // Takes the icon away; safe to call when it is already gone.
    void remove();

    bool isInstalled() const { return installed_; }
    // True when an icon is actually shown (false on a desktop without a notification area).
    bool isShown() const;
    QString toolTip() const { return tip_; }

private:
    bool installed_ = false;
    QString tip_;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

} // namespace wispline
