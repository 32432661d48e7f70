#include "app/Deployment.h"

#include <QSettings>

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

} // namespace wispline
