#pragma once
// The command line of wispline-server: where to listen, which database, and the admin commands
// that change the database and exit. Passwords are never on the command line, where process
// lists and shell histories would show them: the admin commands read them from standard input.
#include "directory/DirectoryOptions.h"

#include <QString>
#include <QStringList>

class QTextStream;

namespace wispline::server
{

class ServerStore;

inline constexpr quint16 kDefaultPort = 30609;

struct ServerOptions {
    enum class Admin {
        None,
        AddUser,
        SetPassword,
        SetLevel,
        ListUsers,
        MinVersion,
        Backup,
        AnnounceShutdown,
        UseDirectory
    };

    QString address = QStringLiteral("127.0.0.1");
    quint16 port = kDefaultPort;
    QString database;  // empty: the default file in the per-user data folder
    QString spillFile; // empty: defaultSpillPath() of the database
    bool demo = false;
    bool quiet = false;
    int commitDelayMs = -1; // -1: the store's default
    int kdfIterations = -1; // -1: the store's default
    int settleMs = -1;      // -1: the server's default
    // Limits on connections not logged on yet and on password checks; -1: the defaults.
    int maxAnonymous = -1;
    int maxAnonymousPerAddress = -1;
    int maxChecks = -1;
    int maxChecksPerAddress = -1;
    int logOnTimeMs = -1;
    int deadPeerSeconds = -1; // -1: the server's default
    int closeTimeMs = -1;     // -1: the server's default
    int storeTimeoutSeconds = -1;
    QString verifierKey;   // empty: serverKeyPath()'s default
    int verifierDays = -1; // -1: the store's default
    // What a logged-on connection may cost each second, the offline queue's bounds per
    // recipient and the free-space floor of the database's disk; -1: the defaults.
    int budgetMessages = -1;
    int budgetDeliveries = -1;
    int budgetStoreKb = -1;
    int maxOffline = -1;
    int maxOfflineKb = -1;
    int minFreeMb = -1; // 0: no floor
    // PEM files: with both, a connection may be encrypted; requireTls refuses plain log-ons.
    QString tlsCertificate;
    QString tlsKey;
    bool requireTls = false;
    // Sign-in against the organisation's directory; off without --ldap.
    DirectoryOptions directory;
    bool debug = false;
    // Health, readiness and metrics over HTTP; off without --admin.
    QString adminAddress;
    quint16 adminPort = 0;
    bool help = false;
    bool version = false;
    Admin admin = Admin::None;
    QStringList adminArguments;
};

// False with a reason for anything it cannot read.
bool parseArguments(const QStringList& arguments, ServerOptions* options, QString* error);
QString usage();
QString defaultDatabasePath();
// The file of the server key, for a database.
QString serverKeyPath(const ServerOptions& options, const QString& database);
// Where the writes the database did not take are kept when the server leaves: beside a SQLite
// file; for PostgreSQL in the service's state folder (STATE_DIRECTORY), else in the folder of
// the default database.
QString defaultSpillPath(const QString& database);

// Runs options.admin against the store and returns the process exit code. A password is read
// from standard input: asked for without echo on a terminal, one line otherwise.
int runAdminCommand(const ServerOptions& options, ServerStore& store, QTextStream& out,
                    QTextStream& err);
// Adds the demo accounts that are missing and lists them all.
bool addDemoAccounts(ServerStore& store, QTextStream& out, QTextStream& err);

} // namespace wispline::server
