#pragma once
// The notification-area icon whose tip names the logged-on user. A click on it brings the main
// window back. Where the desktop has no notification area the client runs on without it.
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QWidget>
#include <memory>

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

    // A click or double click shows, restores and raises the window given at install.
    void activate(QSystemTrayIcon::ActivationReason reason);

private:
    bool installed_ = false;
    QPointer<QWidget> window_;
    QString tip_;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

} // namespace wispline
