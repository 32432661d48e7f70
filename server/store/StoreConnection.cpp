#include "store/StoreConnection.h"

#include <QSqlError>
#include <QSqlQuery>

namespace wispline::server
{

bool connectionLost(QSqlDatabase& db, bool postgres)
{
    if (!postgres)
        return false;
    if (!db.isOpen())
        return true;
    QSqlQuery probe(db);
    return !probe.exec(QStringLiteral("SELECT 1"));
}

bool reopenConnection(QSqlDatabase& db, QString* error)
{
    db.close();
    if (db.open())
        return true;
    *error = db.lastError().text();
    return false;
}

bool rowAtFault(const QSqlError& error, bool postgres)
{
    const QString code = error.nativeErrorCode();
    if (postgres) {
        // Data exceptions, integrity constraints, program limits, and the syntax error of a
        // statement the driver cut at a value's NUL byte.
        return code.startsWith(QLatin1String("22")) || code.startsWith(QLatin1String("23")) ||
               code.startsWith(QLatin1String("54")) || code == QLatin1String("42601");
    }
    // SQLITE_TOOBIG, SQLITE_CONSTRAINT, SQLITE_MISMATCH (busy, locked, full or I/O errors are
    // the database's, not the row's); an extended code carries the primary one in its low byte.
    const int number = code.toInt() & 0xff;
    return number == 18 || number == 19 || number == 20;
}

} // namespace wispline::server
