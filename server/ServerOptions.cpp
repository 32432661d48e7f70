#include "ServerOptions.h"

#include "ServerRules.h"
#include "ServerStore.h"

#include <QDir>
#include <QStandardPaths>
#include <QTextStream>

namespace wispline::server
{
namespace
{

struct AdminCommandShape {
    const char* option;
    ServerOptions::Admin admin;
    int least;
    int most;
};

constexpr AdminCommandShape kAdminCommands[] = {
    {"--add-user", ServerOptions::Admin::AddUser, 3, 4},
    {"--set-password", ServerOptions::Admin::SetPassword, 2, 2},
    {"--set-level", ServerOptions::Admin::SetLevel, 2, 3},
    {"--list-users", ServerOptions::Admin::ListUsers, 0, 0},
    {"--min-version", ServerOptions::Admin::MinVersion, 1, 1},
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

} // namespace

QString usage()
{
    return QStringLiteral(
        "Usage: wispline-server [--address ADDR] [--port PORT] [--db FILE] [--demo] [--quiet]\n"
        "                       [--commit-delay MS]\n"
        "       wispline-server [--db FILE] --add-user NAME PASSWORD LEVEL [SUPERVISOR]\n"
        "       wispline-server [--db FILE] --set-password NAME PASSWORD\n"
        "       wispline-server [--db FILE] --set-level NAME LEVEL [SUPERVISOR]\n"
        "       wispline-server [--db FILE] --list-users\n"
        "       wispline-server [--db FILE] --min-version X.Y.Z\n"
        "\n"
        "Serves on 127.0.0.1:30609 by default; --port 0 picks a free port. The listening\n"
        "address is printed as \"listening on ADDR:PORT\". --demo adds demo accounts first.\n"
        "Levels are 1 to 3; a Level 3 user may have a Level 2 supervisor.\n"
        "Delivered messages are saved in batches at most MS milliseconds (default 20) after\n"
        "delivery; messages kept for offline users are saved at once.\n");
}

QString defaultDatabasePath()
{
    QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (folder.isEmpty())
        folder = QDir::homePath();
    return folder + QStringLiteral("/wispline-server/wispline-server.db");
}

bool parseArguments(const QStringList& arguments, ServerOptions* options, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    for (int i = 1; i < arguments.size(); ++i) {
        QString option = arguments[i];
        QString inlineValue;
        bool hasInlineValue = false;
        const qsizetype equals = option.indexOf(QLatin1Char('='));
        if (option.startsWith(QLatin1String("--")) && equals > 0) {
            inlineValue = option.mid(equals + 1);
            option = option.left(equals);
            hasInlineValue = true;
        }
        auto value = [&](QString* out) {
            if (hasInlineValue) {
                *out = inlineValue;
                return true;
            }
            if (i + 1 >= arguments.size())
                return false;
            *out = arguments[++i];
            return true;
        };

        if (option == QLatin1String("--address")) {
            if (!value(&options->address))
                return fail(QStringLiteral("--address needs a value"));
        } else if (option == QLatin1String("--port")) {
            QString text;
            bool ok = false;
            const uint port = value(&text) ? text.toUInt(&ok) : 0;
            if (!ok || port > 65535)
                return fail(QStringLiteral("--port needs a number from 0 to 65535"));
            options->port = quint16(port);
        } else if (option == QLatin1String("--db")) {
            if (!value(&options->database) || options->database.isEmpty())
                return fail(QStringLiteral("--db needs a file name"));
        } else if (option == QLatin1String("--demo")) {
            options->demo = true;
        } else if (option == QLatin1String("--commit-delay")) {
            QString text;
            bool ok = false;
            const int ms = value(&text) ? text.toInt(&ok) : -1;
            if (!ok || ms < 0 || ms > 3600000)
                return fail(QStringLiteral("--commit-delay needs milliseconds from 0 to 3600000"));
            options->commitDelayMs = ms;
        } else if (option == QLatin1String("--quiet")) {
            options->quiet = true;
        } else if (option == QLatin1String("--help") || option == QLatin1String("-h")) {
            options->help = true;
        } else {
            const AdminCommandShape* shape = nullptr;
            for (const AdminCommandShape& candidate : kAdminCommands) {
                if (option == QLatin1String(candidate.option))
                    shape = &candidate;
            }
            if (!shape)
                return fail(QStringLiteral("unknown option %1").arg(arguments[i]));
            if (options->admin != ServerOptions::Admin::None)
                return fail(QStringLiteral("only one admin command at a time"));
            options->admin = shape->admin;
            if (hasInlineValue)
                options->adminArguments.append(inlineValue);
            while (options->adminArguments.size() < shape->most && i + 1 < arguments.size() &&
                   !arguments[i + 1].startsWith(QLatin1String("--")))
                options->adminArguments.append(arguments[++i]);
            if (options->adminArguments.size() < shape->least ||
                options->adminArguments.size() > shape->most)
                return fail(QStringLiteral("%1 takes %2 to %3 values")
                                .arg(option)
                                .arg(shape->least)
                                .arg(shape->most));
        }
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
    switch (options.admin) {
    case ServerOptions::Admin::None:
        return 0;
    case ServerOptions::Admin::AddUser:
        if (!readLevel(a[2], &level))
            return report(StoreResult::BadLevel, {}, store, out, err);
        return report(store.addUser(a[0], a[1], level, a.value(3)),
                      QStringLiteral("added %1, level %2").arg(normalizeUserName(a[0])).arg(level),
                      store, out, err);
    case ServerOptions::Admin::SetPassword:
        return report(store.setPassword(a[0], a[1]),
                      QStringLiteral("password of %1 changed").arg(normalizeUserName(a[0])), store,
                      out, err);
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
            out << '\n';
        }
        out.flush();
        return 0;
    }
    case ServerOptions::Admin::MinVersion:
        return report(store.setMinimumVersion(a[0]),
                      QStringLiteral("minimum client version is now %1").arg(a[0].trimmed()), store,
                      out, err);
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
