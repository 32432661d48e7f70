#pragma once
// How the server signs users in against the organisation's directory (LDAP): where it is, how a
// user's entry is found, which groups make the three levels and where a supervisor is read.
// Plain settings, read from the command line; the directory itself is asked by Directory.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <array>

namespace wispline::server
{

struct DirectoryOptions {
    // The environment variable the service account's password is read from without
    // passwordFile.
    static constexpr const char* kPasswordVariable = "WISPLINE_LDAP_PASSWORD";
    static constexpr int kDefaultTimeoutSeconds = 5;
    static constexpr int kDefaultRecheckHours = 8;

    // One or more ldap:// (StartTLS) or ldaps:// addresses, tried in turn; empty: no directory.
    QString url;
    QString caFile; // PEM; empty: the system's authorities
    // Either the user's DN, "%s" standing for the name ...
    QString bindPattern;
    // ... or a search under searchBase with filter, made as bindDn (anonymously without one).
    QString searchBase;
    QString filter = QStringLiteral("(uid=%s)");
    QString bindDn;
    QString passwordFile;    // owner-only; empty: the environment variable
    QByteArray bindPassword; // read by readDirectoryPassword(), never from the command line
    // The DNs of the groups of levels 1, 2 and 3; a user in several takes the lowest number.
    std::array<QString, 3> groups;
    // Membership is looked up on the group (the attribute listing its members' DNs) ...
    QString memberAttribute = QStringLiteral("member");
    // ... or, when set, by this filter on the user's own entry, "%g" standing for a group's DN.
    QString memberFilter;
    // The attribute of a level 3 user's entry naming the supervisor's entry (empty: none), and
    // the attribute of that entry holding its account name.
    QString supervisorAttribute = QStringLiteral("manager");
    QString nameAttribute = QStringLiteral("uid");
    bool passwordChange = true; // CHPASS changes the password in the directory
    int timeoutSeconds = kDefaultTimeoutSeconds;
    // A verifier of a directory user answers a log-on for this long after its full check; an
    // older one only while the directory does not answer.
    int recheckHours = kDefaultRecheckHours;

    bool enabled() const { return !url.isEmpty(); }
    bool searches() const { return !searchBase.isEmpty(); }
};

// The addresses of --ldap, which are separated by white space or commas.
QStringList directoryUrls(const QString& url);
// Why the options cannot work, in one sentence; empty when they can.
QString directoryOptionsProblem(const DirectoryOptions& options);
// With a service account, reads its password into bindPassword: the first line of the file,
// which only its owner may read, or the environment variable, which is then removed from the
// environment (call it before other threads start). False with a reason.
bool readDirectoryPassword(DirectoryOptions* options, QString* error);

} // namespace wispline::server
