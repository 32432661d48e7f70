#pragma once
// The deployment values an administrator sets for every user without a rebuild: the system-wide
// settings file (/etc/xdg/AkWispline/AkWispline.ini, section Deployment).
#include <QString>

namespace wispline
{

enum class DeploymentServer {
    Internet, // key InternetServer: the server of Internet mode
    Default,  // key DefaultServer: the other modes, and the log-on window's first address
};

// The address set in the system-wide file, or the one built in when it is missing or blank.
QString deploymentServer(DeploymentServer which);

} // namespace wispline
