#include "app/Deployment.h"

#include <QSettings>

#include <utility>

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
    security.encrypted = ownEncryption.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0 ||
                         systemEncryption.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0;
    const auto [ownCa, systemCa] = value("CaFile");
    security.caFile = ownCa.isEmpty() ? systemCa : ownCa;
    const auto [ownPin, systemPin] = value("PinnedSha256");
    security.pinnedSha256 = ownPin.isEmpty() ? systemPin : ownPin;
    return security;
}

} // namespace wispline
