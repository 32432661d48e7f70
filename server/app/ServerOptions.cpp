#include "app/ServerOptions.h"

#include "app/AnnouncedStop.h"
#include "base/ServerRules.h"
#include "routing/MessageServer.h"
#include "store/ServerStore.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTextStream>
#include <cstdio>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace wispline::server
{
namespace
{

struct AdminCommandShape {
    const char* option;
    ServerOptions::Admin admin;
    int least;
    int most;
    const char* values;
};

constexpr AdminCommandShape kAdminCommands[] = {
    {"add-user", ServerOptions::Admin::AddUser, 2, 3, "NAME LEVEL [SUPERVISOR]"},
    {"set-password", ServerOptions::Admin::SetPassword, 1, 1, "NAME"},
    {"set-level", ServerOptions::Admin::SetLevel, 2, 3, "NAME LEVEL [SUPERVISOR]"},
    {"list-users", ServerOptions::Admin::ListUsers, 0, 0, ""},
    {"announce-shutdown", ServerOptions::Admin::AnnounceShutdown, 0, 1, "[TEXT]"},
    {"use-directory", ServerOptions::Admin::UseDirectory, 1, 1, "NAME"},
};

bool readLevel(const QString& text, int* level)
{
    bool ok = false;
    *level = text.toInt(&ok);
    return ok && isValidLevel(*level);
}

int report(StoreResult result, const QString& done, ServerStore& store, QTextStream& out,
           QTextStream& err)
{
    if (result == StoreResult::Ok) {
        out << done << Qt::endl;
        return 0;
    }
    err << "error: " << describe(result);
    if (result == StoreResult::Failed)
        err << ": " << store.lastError();
    err << Qt::endl;
    return 1;
}

// One line of standard input without its line end; false at its end.
bool readLine(QString* line)
{
    std::string bytes;
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n')
        bytes.push_back(char(c));
    if (c == EOF && bytes.empty())
        return false;
    if (!bytes.empty() && bytes.back() == '\r')
        bytes.pop_back();
    *line = QString::fromLocal8Bit(bytes.data(), qsizetype(bytes.size()));
    return true;
}

// A password from a terminal, typed without echo, asked twice.
bool askPassword(const QString& name, QString* password, QTextStream& err)
{
    termios saved{};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    QString again;
    err << "Password for " << name << ": " << Qt::flush;
    bool ok = readLine(password);
    err << "\nThe same again: " << Qt::flush;
    ok = ok && readLine(&again);
    err << Qt::endl;
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (ok && *password != again) {
        err << "error: the two passwords differ" << Qt::endl;
        return false;
    }
    return ok;
}

bool readPassword(const QString& name, QString* password, QTextStream& err)
{
    if (::isatty(STDIN_FILENO))
        return askPassword(name, password, err);
    if (readLine(password))
        return true;
    err << "error: no password on standard input" << Qt::endl;
    return false;
}

void describeOptions(QCommandLineParser& parser)
{
    parser.setApplicationDescription(QStringLiteral(
        "The Wispline message server. Serves on 127.0.0.1:30609 by default; --port 0 picks a free\n"
        "port. The listening address is printed as \"listening on ADDR:PORT\". --demo adds demo\n"
        "accounts first.\n"
        "The admin commands change the database and exit. Levels are 1 to 3; a Level 3 user may\n"
        "have a Level 2 supervisor. --add-user and --set-password read the password from standard\n"
        "input: asked for on a terminal, the first line otherwise.\n"
        "Delivered messages are saved in batches at most --commit-delay milliseconds after\n"
        "delivery; messages kept for offline users are saved at once.\n"
        "SIGTERM and SIGINT stop the server and reset its users' connections, so that their\n"
        "clients reconnect once it is back. --announce-shutdown (or SIGUSR1) ends the service\n"
        "instead: every server running on the database tells its users the text, which ends\n"
        "their programs, and stops."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {QStringLiteral("address"), QStringLiteral("Listen on ADDR."), QStringLiteral("ADDR")},
        {QStringLiteral("port"), QStringLiteral("Listen on PORT (0 for any free one)."),
         QStringLiteral("PORT")},
        {QStringLiteral("db"),
         QStringLiteral("The database: a FILE (SQLite), or a PostgreSQL address "
                        "postgresql://user@host:port/database (the password from .pgpass)."),
         QStringLiteral("FILE")},
        {QStringLiteral("spill-file"),
         QStringLiteral("Keep the writes the database does not take when the server leaves in "
                        "FILE, written into the database at the next start (default: the "
                        "database file's name with .spill; for PostgreSQL wispline-server.spill "
                        "in $STATE_DIRECTORY or the data folder)."),
         QStringLiteral("FILE")},
        {QStringLiteral("demo"), QStringLiteral("Add the demo accounts, then serve.")},
        {QStringLiteral("quiet"), QStringLiteral("Write no log.")},
        {QStringLiteral("commit-delay"),
         QStringLiteral("Save delivered messages at most MS milliseconds later (default %1).")
             .arg(ServerStore::kDefaultCommitDelayMs),
         QStringLiteral("MS")},
        {QStringLiteral("kdf-iterations"),
         QStringLiteral("PBKDF2 rounds for new password hashes (default %1).")
             .arg(ServerStore::kDefaultKdfIterations),
         QStringLiteral("N")},
        {QStringLiteral("settle-ms"),
         QStringLiteral("Take a message as complete after MS milliseconds without further "
                        "bytes (default %1).")
             .arg(MessageServer::kDefaultSettleMs),
         QStringLiteral("MS")},
        {QStringLiteral("max-anonymous"),
         QStringLiteral("Connections not logged on yet that are kept at once (default %1).")
             .arg(Listener::kDefaultMaxAnonymous),
         QStringLiteral("N")},
        {QStringLiteral("max-anonymous-per-address"),
         QStringLiteral("Of those, from one address (default %1).")
             .arg(Listener::kDefaultMaxAnonymousPerAddress),
         QStringLiteral("N")},
        {QStringLiteral("max-checks"),
         QStringLiteral("Password checks running at once, at most one per core (default: one per "
                        "core); the others wait their turn."),
         QStringLiteral("N")},
        {QStringLiteral("max-checks-per-address"),
         QStringLiteral("Of those, for one address while another waits (default: half)."),
         QStringLiteral("N")},
        {QStringLiteral("verifier-key"),
         QStringLiteral("The server key: FILE (owner-only, made at the first start; default "
                        "verifier.key beside the database, or in $STATE_DIRECTORY). Give every "
                        "node the same."),
         QStringLiteral("FILE")},
        {QStringLiteral("verifier-days"),
         QStringLiteral("Answer a log-on from a fast verifier for D days after a full password "
                        "check (default %1; 0: always the full check).")
             .arg(Verifiers::kDefaultDays),
         QStringLiteral("D")},
        {QStringLiteral("logon-time"),
         QStringLiteral("Close a connection not logged on after MS milliseconds (default %1).")
             .arg(MessageServer::kDefaultLogOnTimeMs),
         QStringLiteral("MS")},
        {QStringLiteral("keepalive-seconds"),
         QStringLiteral("End a connection whose peer has not answered for S seconds "
                        "(default %1).")
             .arg(MessageServer::kDefaultDeadPeerSeconds),
         QStringLiteral("S")},
        {QStringLiteral("close-time"),
         QStringLiteral("Reset a closing connection whose output is not acknowledged after MS "
                        "milliseconds (default %1).")
             .arg(MessageServer::kDefaultCloseTimeMs),
         QStringLiteral("MS")},
        {QStringLiteral("store-timeout"),
         QStringLiteral("Leave with exit status 1 after S seconds without a working database "
                        "(default %1).")
             .arg(MessageServer::kDefaultStoreTimeoutSeconds),
         QStringLiteral("S")},
        {QStringLiteral("budget-messages"),
         QStringLiteral("Messages a logged-on connection may send a second, ten seconds' worth at "
                        "once; past it the connection is not read for a while (default %1).")
             .arg(FairShare::Rates::kDefaultMessages),
         QStringLiteral("N")},
        {QStringLiteral("budget-deliveries"),
         QStringLiteral("Recipients its messages may reach a second, likewise (default %1).")
             .arg(FairShare::Rates::kDefaultDeliveries),
         QStringLiteral("N")},
        {QStringLiteral("budget-store-kb"),
         QStringLiteral("Kilobytes its messages may have the database write a second, sixteen "
                        "seconds' worth at once (default %1).")
             .arg(FairShare::Rates::kDefaultStoredBytes / 1024),
         QStringLiteral("KB")},
        {QStringLiteral("max-offline"),
         QStringLiteral("Messages kept for one offline user; past it the oldest go (default %1).")
             .arg(OfflineQueue::kDefaultMaxRows),
         QStringLiteral("N")},
        {QStringLiteral("max-offline-kb"),
         QStringLiteral("Kilobytes of messages kept for one offline user, likewise (default %1).")
             .arg(OfflineQueue::kDefaultMaxBytes / 1024),
         QStringLiteral("KB")},
        {QStringLiteral("min-free-mb"),
         QStringLiteral("Take no messages while the SQLite database's file system has less free "
                        "(default %1; 0 for no floor).")
             .arg(DiskSpace::kDefaultFloorMb),
         QStringLiteral("MB")},
        {QStringLiteral("tls-cert"),
         QStringLiteral("Serve TLS too, with the certificate chain in FILE (PEM), on the same "
                        "port: a connection that opens with a TLS handshake is encrypted."),
         QStringLiteral("FILE")},
        {QStringLiteral("tls-key"),
         QStringLiteral("The private key of --tls-cert (PEM), readable by its owner only."),
         QStringLiteral("FILE")},
        {QStringLiteral("require-tls"),
         QStringLiteral("Refuse log-ons over connections that are not encrypted.")},
        {QStringLiteral("ldap"),
         QStringLiteral("Check the passwords of users without a local account against the "
                        "directory at URL (ldap:// with StartTLS, or ldaps://; several, "
                        "space-separated, are tried in turn). Its groups give the levels."),
         QStringLiteral("URL")},
        {QStringLiteral("ldap-ca"),
         QStringLiteral("Trust the directory's certificate from the authorities in FILE (PEM) "
                        "instead of the system's."),
         QStringLiteral("FILE")},
        {QStringLiteral("ldap-bind-pattern"),
         QStringLiteral("A user's DN, %s standing for the name: "
                        "uid=%s,ou=people,dc=example,dc=org."),
         QStringLiteral("DN")},
        {QStringLiteral("ldap-search-base"),
         QStringLiteral("Or find the user under DN with --ldap-filter (as --ldap-bind-dn)."),
         QStringLiteral("DN")},
        {QStringLiteral("ldap-filter"),
         QStringLiteral("The search for a user, %s standing for the name (default (uid=%s))."),
         QStringLiteral("FILTER")},
        {QStringLiteral("ldap-bind-dn"),
         QStringLiteral("The service account that searches and reads the groups; its password "
                        "from --ldap-password-file or $%1.")
             .arg(QLatin1String(DirectoryOptions::kPasswordVariable)),
         QStringLiteral("DN")},
        {QStringLiteral("ldap-password-file"),
         QStringLiteral("The service account's password: the first line of FILE, readable by "
                        "its owner only."),
         QStringLiteral("FILE")},
        {QStringLiteral("ldap-level1-group"),
         QStringLiteral("The group whose members are level 1 (a user in several groups takes the "
                        "lowest level number)."),
         QStringLiteral("DN")},
        {QStringLiteral("ldap-level2-group"), QStringLiteral("The group of level 2."),
         QStringLiteral("DN")},
        {QStringLiteral("ldap-level3-group"), QStringLiteral("The group of level 3."),
         QStringLiteral("DN")},
        {QStringLiteral("ldap-member-attribute"),
         QStringLiteral("The attribute of a group listing its members' DNs (default member; "
                        "uniqueMember for groupOfUniqueNames)."),
         QStringLiteral("ATTR")},
        {QStringLiteral("ldap-member-filter"),
         QStringLiteral("Instead, a filter on the user's entry, %g standing for a group's DN: "
                        "(memberOf=%g)."),
         QStringLiteral("FILTER")},
        {QStringLiteral("ldap-supervisor-attribute"),
         QStringLiteral("The attribute of a level 3 user naming the supervisor's entry, a level 2 "
                        "user (default manager; empty: none)."),
         QStringLiteral("ATTR")},
        {QStringLiteral("ldap-name-attribute"),
         QStringLiteral("The attribute of an entry holding the account name (default uid; "
                        "sAMAccountName for Active Directory)."),
         QStringLiteral("ATTR")},
        {QStringLiteral("ldap-no-password-change"),
         QStringLiteral("Answer a directory user's password change with a note to change it in "
                        "the directory (by default it is changed there).")},
        {QStringLiteral("ldap-timeout"),
         QStringLiteral("Wait S seconds at most for each step with the directory (default %1).")
             .arg(DirectoryOptions::kDefaultTimeoutSeconds),
         QStringLiteral("S")},
        {QStringLiteral("ldap-recheck-hours"),
         QStringLiteral("Ask the directory again about a user whose last check there is H hours "
                        "old (default %1); until then a fast verifier answers.")
             .arg(DirectoryOptions::kDefaultRecheckHours),
         QStringLiteral("H")},
        {QStringLiteral("debug"),
         QStringLiteral("Log details too, the adapter address of each log-on among them.")},
        {QStringLiteral("add-user"), QStringLiteral("Add a user: NAME LEVEL [SUPERVISOR].")},
        {QStringLiteral("set-password"), QStringLiteral("Change the password of NAME.")},
        {QStringLiteral("set-level"), QStringLiteral("Change a level: NAME LEVEL [SUPERVISOR].")},
        {QStringLiteral("list-users"),
         QStringLiteral("List the accounts (those of the directory marked so).")},
        {QStringLiteral("use-directory"),
         QStringLiteral("Hand the account NAME over to the directory: its local password is "
                        "removed (--set-password makes it local again).")},
        {QStringLiteral("announce-shutdown"),
         QStringLiteral("Have every server running on the database tell its users [TEXT] "
                        "(default \"%1\"), which ends their programs, and stop.")
             .arg(kDefaultStopText)},
        {QStringLiteral("min-version"),
         QStringLiteral("Set the lowest client version allowed to log on."),
         QStringLiteral("X.Y.Z")},
        {QStringLiteral("backup"),
         QStringLiteral("Copy the SQLite database to FILE, also while a server uses it."),
         QStringLiteral("FILE")},
        {QStringLiteral("admin"),
         QStringLiteral("Answer /healthz, /readyz and /metrics over HTTP on ADDR:PORT (off by "
                        "default)."),
         QStringLiteral("ADDR:PORT")},
    });
    parser.addPositionalArgument(QStringLiteral("values"),
                                 QStringLiteral("The values of an admin command."),
                                 QStringLiteral("[values...]"));
}

// A whole number from min to max, for an option.
bool readNumber(const QCommandLineParser& parser, const char* option, int min, int max, int* out)
{
    const QString name = QLatin1String(option);
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const qlonglong value = parser.value(name).toLongLong(&ok);
    if (!ok || value < min || value > max)
        return false;
    *out = int(value);
    return true;
}

// Where the server keeps its own files: beside a SQLite file; for PostgreSQL the service
// manager's state folder (the first of several), else the data folder.
QString stateFolder(const QString& database)
{
    if (!ServerStore::isPostgresAddress(database))
        return QFileInfo(database).absolutePath();
    const QString state = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    return state.isEmpty() ? QFileInfo(defaultDatabasePath()).absolutePath() : state;
}

bool readDirectoryOptions(const QCommandLineParser& parser, DirectoryOptions* d, QString* error)
{
    const auto text = [&](const char* option, QString* value) {
        if (parser.isSet(QLatin1String(option)))
            *value = parser.value(QLatin1String(option));
    };
    text("ldap", &d->url);
    text("ldap-ca", &d->caFile);
    text("ldap-bind-pattern", &d->bindPattern);
    text("ldap-search-base", &d->searchBase);
    text("ldap-filter", &d->filter);
    text("ldap-bind-dn", &d->bindDn);
    text("ldap-password-file", &d->passwordFile);
    text("ldap-level1-group", &d->groups[0]);
    text("ldap-level2-group", &d->groups[1]);
    text("ldap-level3-group", &d->groups[2]);
    text("ldap-member-attribute", &d->memberAttribute);
    text("ldap-member-filter", &d->memberFilter);
    text("ldap-supervisor-attribute", &d->supervisorAttribute);
    text("ldap-name-attribute", &d->nameAttribute);
    d->passwordChange = !parser.isSet(QStringLiteral("ldap-no-password-change"));
    const auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (!readNumber(parser, "ldap-timeout", 1, 300, &d->timeoutSeconds))
        return fail(QStringLiteral("--ldap-timeout needs seconds from 1 to 300"));
    if (!readNumber(parser, "ldap-recheck-hours", 0, 24 * 365, &d->recheckHours))
        return fail(QStringLiteral("--ldap-recheck-hours needs hours from 0 to 8760"));
    if (!d->enabled()) {
        for (const QString& name : parser.optionNames()) {
            if (name.startsWith(QLatin1String("ldap-")))
                return fail(QStringLiteral("--%1 goes with --ldap").arg(name));
        }
        return true;
    }
    const QString problem = directoryOptionsProblem(*d);
    return problem.isEmpty() || fail(problem);
}

} // namespace

QString usage()
{
    QCommandLineParser parser;
    describeOptions(parser);
    return parser.helpText();
}

QString serverKeyPath(const ServerOptions& options, const QString& database)
{
    if (!options.verifierKey.isEmpty())
        return options.verifierKey;
    return QDir(stateFolder(database)).filePath(QStringLiteral("verifier.key"));
}

QString defaultDatabasePath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return folder + QStringLiteral("/wispline-server/wispline-server.db");
}

QString defaultSpillPath(const QString& database)
{
    if (!ServerStore::isPostgresAddress(database))
        return QFileInfo(database).absoluteFilePath() + QStringLiteral(".spill");
    return QDir(stateFolder(database)).filePath(QStringLiteral("wispline-server.spill"));
}

bool parseArguments(const QStringList& arguments, ServerOptions* options, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    QCommandLineParser parser;
    describeOptions(parser);
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    options->help =
        parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"));
    options->version = parser.isSet(QStringLiteral("version"));
    if (parser.isSet(QStringLiteral("address")))
        options->address = parser.value(QStringLiteral("address"));
    int port = options->port;
    if (!readNumber(parser, "port", 0, 65535, &port))
        return fail(QStringLiteral("--port needs a number from 0 to 65535"));
    options->port = quint16(port);
    if (parser.isSet(QStringLiteral("db"))) {
        options->database = parser.value(QStringLiteral("db"));
        if (options->database.isEmpty())
            return fail(QStringLiteral("--db needs a file name"));
    }
    if (parser.isSet(QStringLiteral("spill-file"))) {
        options->spillFile = parser.value(QStringLiteral("spill-file"));
        if (options->spillFile.isEmpty())
            return fail(QStringLiteral("--spill-file needs a file name"));
    }
    options->demo = parser.isSet(QStringLiteral("demo"));
    options->quiet = parser.isSet(QStringLiteral("quiet"));
    if (!readNumber(parser, "commit-delay", 0, 3600000, &options->commitDelayMs))
        return fail(QStringLiteral("--commit-delay needs milliseconds from 0 to 3600000"));
    if (!readNumber(parser, "kdf-iterations", 1, 100000000, &options->kdfIterations))
        return fail(QStringLiteral("--kdf-iterations needs a number from 1 to 100000000"));
    if (!readNumber(parser, "settle-ms", 0, 3600000, &options->settleMs))
        return fail(QStringLiteral("--settle-ms needs milliseconds from 0 to 3600000"));
    for (const auto& [name, value] :
         {std::pair("max-anonymous", &options->maxAnonymous),
          {"max-anonymous-per-address", &options->maxAnonymousPerAddress},
          {"max-checks", &options->maxChecks},
          {"max-checks-per-address", &options->maxChecksPerAddress}}) {
        if (!readNumber(parser, name, 1, 1000000, value))
            return fail(QStringLiteral("--%1 needs a number from 1 to 1000000").arg(name));
    }
    if (!readNumber(parser, "verifier-days", 0, 365, &options->verifierDays))
        return fail(QStringLiteral("--verifier-days needs days from 0 to 365"));
    if (parser.isSet(QStringLiteral("verifier-key"))) {
        options->verifierKey = parser.value(QStringLiteral("verifier-key"));
        if (options->verifierKey.isEmpty())
            return fail(QStringLiteral("--verifier-key needs a file name"));
    }
    if (!readNumber(parser, "logon-time", 1, 3600000, &options->logOnTimeMs))
        return fail(QStringLiteral("--logon-time needs milliseconds from 1 to 3600000"));
    if (!readNumber(parser, "keepalive-seconds", 2, 3600, &options->deadPeerSeconds))
        return fail(QStringLiteral("--keepalive-seconds needs seconds from 2 to 3600"));
    if (!readNumber(parser, "close-time", 1, 3600000, &options->closeTimeMs))
        return fail(QStringLiteral("--close-time needs milliseconds from 1 to 3600000"));
    if (!readNumber(parser, "store-timeout", 1, 3600, &options->storeTimeoutSeconds))
        return fail(QStringLiteral("--store-timeout needs seconds from 1 to 3600"));
    for (const auto& [name, value] : {std::pair("budget-messages", &options->budgetMessages),
                                      {"budget-deliveries", &options->budgetDeliveries},
                                      {"budget-store-kb", &options->budgetStoreKb},
                                      {"max-offline", &options->maxOffline},
                                      {"max-offline-kb", &options->maxOfflineKb}}) {
        if (!readNumber(parser, name, 1, 100000000, value))
            return fail(QStringLiteral("--%1 needs a number from 1 to 100000000").arg(name));
    }
    if (!readNumber(parser, "min-free-mb", 0, 100000000, &options->minFreeMb))
        return fail(QStringLiteral("--min-free-mb needs a number from 0 to 100000000"));
    options->debug = parser.isSet(QStringLiteral("debug"));
    options->tlsCertificate = parser.value(QStringLiteral("tls-cert"));
    options->tlsKey = parser.value(QStringLiteral("tls-key"));
    options->requireTls = parser.isSet(QStringLiteral("require-tls"));
    if (options->tlsCertificate.isEmpty() != options->tlsKey.isEmpty())
        return fail(QStringLiteral("--tls-cert and --tls-key go together"));
    if (options->requireTls && options->tlsCertificate.isEmpty())
        return fail(QStringLiteral("--require-tls needs --tls-cert and --tls-key"));
    if (!readDirectoryOptions(parser, &options->directory, error))
        return false;
    if (parser.isSet(QStringLiteral("admin"))) {
        const QString value = parser.value(QStringLiteral("admin"));
        const qsizetype colon = value.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const uint port = value.mid(colon + 1).toUInt(&ok);
        options->adminAddress = value.left(colon);
        options->adminPort = quint16(port);
        if (colon < 1 || !ok || port > 65535)
            return fail(QStringLiteral("--admin needs ADDR:PORT"));
    }

    const QStringList values = parser.positionalArguments();
    const AdminCommandShape* shape = nullptr;
    int commands = 0;
    for (const AdminCommandShape& candidate : kAdminCommands) {
        if (parser.isSet(QLatin1String(candidate.option))) {
            shape = &candidate;
            ++commands;
        }
    }
    if (parser.isSet(QStringLiteral("min-version"))) {
        options->admin = ServerOptions::Admin::MinVersion;
        options->adminArguments = {parser.value(QStringLiteral("min-version"))};
        ++commands;
    }
    if (parser.isSet(QStringLiteral("backup"))) {
        options->admin = ServerOptions::Admin::Backup;
        options->adminArguments = {parser.value(QStringLiteral("backup"))};
        ++commands;
    }
    if (commands > 1)
        return fail(QStringLiteral("only one admin command at a time"));
    if (shape) {
        options->admin = shape->admin;
        options->adminArguments = values;
        int level = 0;
        // The old form had the password after the name.
        const bool passwordGiven =
            (shape->admin == ServerOptions::Admin::AddUser && values.size() >= 3 &&
             !readLevel(values[1], &level) && readLevel(values[2], &level)) ||
            (shape->admin == ServerOptions::Admin::SetPassword && values.size() == 2);
        if (passwordGiven)
            return fail(QStringLiteral("--%1 takes no password on the command line; it is read "
                                       "from standard input")
                            .arg(QLatin1String(shape->option)));
        if (values.size() < shape->least || values.size() > shape->most)
            return fail(QStringLiteral("--%1 takes %2")
                            .arg(QLatin1String(shape->option), QLatin1String(shape->values)));
        if (shape->admin == ServerOptions::Admin::AnnounceShutdown && !values.isEmpty() &&
            (values[0].trimmed().isEmpty() || values[0].size() > kMaxStopTextChars))
            return fail(QStringLiteral("--announce-shutdown takes a text of 1 to %1 characters")
                            .arg(kMaxStopTextChars));
    } else if (!values.isEmpty() && options->admin == ServerOptions::Admin::None) {
        return fail(QStringLiteral("unexpected argument %1").arg(values.front()));
    } else if (!values.isEmpty()) {
        return fail(QStringLiteral("--%1 takes one value")
                        .arg(options->admin == ServerOptions::Admin::Backup
                                 ? QLatin1String("backup")
                                 : QLatin1String("min-version")));
    }
    if (options->demo && options->admin != ServerOptions::Admin::None)
        return fail(QStringLiteral("--demo serves; it cannot go with an admin command"));
    return true;
}

int runAdminCommand(const ServerOptions& options, ServerStore& store, QTextStream& out,
                    QTextStream& err)
{
    const QStringList& a = options.adminArguments;
    int level = 0;
    QString password;
    switch (options.admin) {
    case ServerOptions::Admin::None:
        return 0;
    case ServerOptions::Admin::AddUser:
        if (!readLevel(a[1], &level))
            return report(StoreResult::BadLevel, {}, store, out, err);
        if (!readPassword(normalizeUserName(a[0]), &password, err))
            return 1;
        return report(store.addUser(a[0], password, level, a.value(2)),
                      QStringLiteral("added %1, level %2").arg(normalizeUserName(a[0])).arg(level),
                      store, out, err);
    case ServerOptions::Admin::SetPassword: {
        const std::optional<Account> account = store.account(a[0]);
        if (!account)
            return report(StoreResult::NoSuchUser, {}, store, out, err);
        if (!readPassword(normalizeUserName(a[0]), &password, err))
            return 1;
        const QString name = normalizeUserName(a[0]);
        return report(store.setPassword(a[0], password),
                      account->directory
                          ? QStringLiteral("password of %1 set: it is now a local account, and "
                                           "its directory password no longer logs it on "
                                           "(--use-directory %1 hands it back)")
                                .arg(name)
                          : QStringLiteral("password of %1 changed").arg(name),
                      store, out, err);
    }
    case ServerOptions::Admin::UseDirectory:
        return report(store.useDirectory(a[0]),
                      QStringLiteral("%1 is now kept in the directory: its local password is "
                                     "removed, and its level comes from the directory's groups "
                                     "at its next log-on")
                          .arg(normalizeUserName(a[0])),
                      store, out, err);
    case ServerOptions::Admin::SetLevel:
        if (!readLevel(a[1], &level))
            return report(StoreResult::BadLevel, {}, store, out, err);
        return report(store.setLevel(a[0], level, a.value(2)),
                      QStringLiteral("%1 is now level %2").arg(normalizeUserName(a[0])).arg(level),
                      store, out, err);
    case ServerOptions::Admin::ListUsers: {
        const QList<Account> all = store.accounts();
        for (const Account& account : all) {
            out << account.name << ' ' << account.level;
            if (!account.supervisor.isEmpty())
                out << ' ' << account.supervisor;
            if (account.directory)
                out << " (directory)";
            out << '\n';
        }
        out.flush();
        return 0;
    }
    case ServerOptions::Admin::MinVersion:
        return report(store.setMinimumVersion(a[0]),
                      QStringLiteral("minimum client version is now %1").arg(a[0].trimmed()), store,
                      out, err);
    case ServerOptions::Admin::AnnounceShutdown: {
        const QString text = a.isEmpty() ? kDefaultStopText : a[0].trimmed();
        return report(store.announceStop(text),
                      QStringLiteral("announced: every server running on this database tells its "
                                     "users \"%1\" and stops within a few seconds")
                          .arg(text),
                      store, out, err);
    }
    case ServerOptions::Admin::Backup:
        break; // main copies the file before any store opens it
    }
    return 1;
}

bool addDemoAccounts(ServerStore& store, QTextStream& out, QTextStream& err)
{
    struct Demo {
        const char* name;
        const char* password;
        int level;
        const char* supervisor;
    };
    // Supervisors come before the users they supervise.
    static const Demo kDemo[] = {{"ALICE", "alice1", 1, ""},
                                 {"BOB", "bob2", 2, ""},
                                 {"CAROL", "carol2", 2, ""},
                                 {"DAVE", "dave3", 3, "BOB"},
                                 {"ERIN", "erin3", 3, "CAROL"}};
    bool ok = true;
    for (const Demo& d : kDemo) {
        const QString name = QLatin1String(d.name);
        const StoreResult result =
            store.addUser(name, QLatin1String(d.password), d.level, QLatin1String(d.supervisor));
        out << "demo account " << name << " password " << d.password << " level " << d.level;
        if (*d.supervisor)
            out << " supervisor " << d.supervisor;
        if (result == StoreResult::Exists) {
            out << " (already present, left as it was)";
        } else if (result != StoreResult::Ok) {
            err << "error: demo account " << name << ": " << describe(result) << Qt::endl;
            ok = false;
        }
        out << Qt::endl;
    }
    return ok;
}

} // namespace wispline::server
