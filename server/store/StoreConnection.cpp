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
        // Data exceptions, integrity constraints, program limits. Not a syntax error: the
        // statements bind their values, so that would be ours, and would drop every row.
        return code.startsWith(QLatin1String("22")) || code.startsWith(QLatin1String("23")) ||
               code.startsWith(QLatin1String("54"));
    }
    // SQLITE_TOOBIG, SQLITE_CONSTRAINT, SQLITE_MISMATCH (busy, locked, full or I/O errors are
    // the database's, not the row's); an extended code carries the primary one in its low byte.
    const int number = code.toInt() & 0xff;
    return number == 18 || number == 19 || number == 20;
}

bool setAside(QSqlDatabase& db, const QString& kind, const QSqlError& error,
              const QVariantList& values)
{
    QByteArrayList hex;
    for (const QVariant& value : values)
        hex.append(value.toByteArray().toHex());
    QSqlQuery q(db);
    q.prepare(QStringLiteral("INSERT INTO set_aside(kind, error, data) VALUES(?, ?, ?)"));
    q.addBindValue(kind);
    q.addBindValue(error.nativeErrorCode());
    q.addBindValue(QString::fromLatin1(hex.join(',')));
    return q.exec();
}

} // namespace wispline::server
