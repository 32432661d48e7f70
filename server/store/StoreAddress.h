#pragma once
// A postgresql:// address taken apart into libpq's own keywords, and the connection settings
// every connection to the database gets: a dead path or a stuck statement costs seconds, never
// the minutes to hours of the system defaults. And where a store is: the SQLite file or the
// PostgreSQL database every one of its connections opens.
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <utility>

namespace wispline::server
{

struct PostgresAddress {
    // libpq keywords and their values: host, port, dbname and user from the address itself,
    // then the address's parameters in their order (a later one wins, as in libpq).
    QList<std::pair<QString, QString>> keywords;
};

// False with a reason for anything that is no address, names a keyword libpq does not know,
// or holds a password (command lines are visible to every local user).
bool parsePostgresAddress(const QString& address, PostgresAddress* out, QString* error);

// The connection string for Qt's PostgreSQL driver: the keep-alive, time-out and session
// settings, then the address's keywords, which may override them. lockMs bounds the wait for a
// row lock held elsewhere, statementMs any one statement.
QString postgresConnectOptions(const PostgresAddress& address, int lockMs, int statementMs);

// The database of one store, and the name its connections are registered under.
class StoreLocation
{
public:
    // A connection the routing thread uses waits this long for a lock held elsewhere before it
    // tries later, and its statements are bounded more tightly than the other threads'.
    static constexpr int kRoutingBusyMs = 1000;

    StoreLocation(); // a name no other store in this process has
    // True for a postgresql:// (or postgres://) address rather than a file name.
    static bool isPostgresAddress(const QString& path);
    // Takes a postgresql:// address apart, or creates the file (for its owner only) when
    // missing. False with a reason.
    bool set(const QString& path, QString* error);
    bool postgres() const { return postgres_; }
    // The SQLite file; empty for PostgreSQL.
    const QString& file() const { return file_; }
    const QString& name() const { return name_; }
    // Sets up a connection to the database under a name, for one thread.
    QSqlDatabase addConnection(const QString& name, int busyMs = 5000) const;

private:
    QString name_;
    bool postgres_ = false;
    QString file_;              // SQLite: the absolute file name
    PostgresAddress pgAddress_; // the password comes from .pgpass, never from here
};

} // namespace wispline::server
