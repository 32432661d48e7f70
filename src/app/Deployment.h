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

// How the link to the server is secured: keys Encryption (on/true/yes/1 or off/false/no/0, any
// case; any other value counts as on), CaFile (a PEM bundle trusted instead of the system's
// store) and PinnedSha256 (the SHA-256 of the server certificate's public key, hex or base64),
// in the system-wide file and in the user's own. The user's file can turn encryption on, and
// sets CaFile and PinnedSha256 only where the system-wide file does not.
struct DeploymentSecurity {
    bool encrypted = false;
    QString caFile;
    QString pinnedSha256;
};
DeploymentSecurity deploymentSecurity();

} // namespace wispline
