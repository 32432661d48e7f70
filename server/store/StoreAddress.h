#pragma once
// A postgresql:// address taken apart into libpq's own keywords, and the connection settings
// every connection to the database gets: a dead path or a stuck statement costs seconds, never
// the minutes to hours of the system defaults.
#include <QList>
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

} // namespace wispline::server
