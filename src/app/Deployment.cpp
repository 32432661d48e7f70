#include "app/Deployment.h"

#include <QLoggingCategory>
#include <QSettings>
#include <QStringList>

#include <utility>

Q_DECLARE_LOGGING_CATEGORY(lcApp)

namespace wispline
{

QString deploymentServer(DeploymentServer which)
{
    const bool internet = which == DeploymentServer::Internet;
    // System scope only: a user cannot redirect the client by editing their own settings.
    QSettings system(QSettings::IniFormat, QSettings::SystemScope, QStringLiteral("AkWispline"),
                     QStringLiteral("AkWispline"));
    const QString value = system
                              .value(internet ? QStringLiteral("Deployment/InternetServer")
                                              : QStringLiteral("Deployment/DefaultServer"))
                              .toString()
                              .trimmed();
    if (!value.isEmpty())
        return value;
    return internet ? QStringLiteral(WISPLINE_INTERNET_SERVER)
                    : QStringLiteral(WISPLINE_DEFAULT_SERVER);
}

namespace
{
// Encryption's value: on/true/yes/1 or off/false/no/0 in any case; missing or blank is off. A
// value that is none of these fails closed: it is taken as on, and said so.
bool encryptionSwitch(const QString& value, const char* file)
{
    static const QStringList on = {QStringLiteral("on"), QStringLiteral("true"),
                                   QStringLiteral("yes"), QStringLiteral("1")};
    static const QStringList off = {QStringLiteral("off"), QStringLiteral("false"),
                                    QStringLiteral("no"), QStringLiteral("0")};
    if (value.isEmpty() || off.contains(value, Qt::CaseInsensitive))
        return false;
    if (!on.contains(value, Qt::CaseInsensitive))
        qCWarning(lcApp).noquote() << "Encryption" << value << "in the" << file
                                   << "settings is neither on nor off: taken as on";
    return true;
}
} // namespace

DeploymentSecurity deploymentSecurity()
{
    QSettings system(QSettings::IniFormat, QSettings::SystemScope, QStringLiteral("AkWispline"),
                     QStringLiteral("AkWispline"));
    system.setFallbacksEnabled(false);
    QSettings user(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("AkWispline"),
                   QStringLiteral("AkWispline"));
    user.setFallbacksEnabled(false);
    const auto value = [&](const char* key) {
        const QString name = QStringLiteral("Deployment/") + QLatin1String(key);
        const QString own = user.value(name).toString().trimmed();
        return std::make_pair(own, system.value(name).toString().trimmed());
    };
    DeploymentSecurity security;
    // A user may turn encryption on for themselves, never off where the system turned it on.
    const auto [ownEncryption, systemEncryption] = value("Encryption");
    security.encrypted = encryptionSwitch(systemEncryption, "system-wide") ||
                         encryptionSwitch(ownEncryption, "user's");
    // What the administrator trusts, the user cannot replace; the user's own values count
    // only where the system-wide file sets none.
    const auto [ownCa, systemCa] = value("CaFile");
    security.caFile = systemCa.isEmpty() ? ownCa : systemCa;
    const auto [ownPin, systemPin] = value("PinnedSha256");
    security.pinnedSha256 = systemPin.isEmpty() ? ownPin : systemPin;
    return security;
}

} // namespace wispline
