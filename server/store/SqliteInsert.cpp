#include "store/SqliteInsert.h"

#include "base/ServerRules.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>
#include <sqlite3.h>

namespace wispline::server
{
namespace
{

bool isAscii(const QByteArray& bytes)
{
    for (const char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace

SqliteInsert::~SqliteInsert()
{
    clear();
}

bool SqliteInsert::prepare(QSqlDatabase& db)
{
    clear();
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    sqlite3* connection = *static_cast<sqlite3* const*>(handle.constData());
    if (!connection)
        return false;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection,
                           "INSERT INTO messages(day, time, sender, recipient, body) "
                           "VALUES(?, ?, ?, ?, ?)",
                           -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return false;
    }
    db_ = connection;
    statement_ = statement;
    return true;
}

void SqliteInsert::clear()
{
    if (statement_)
        sqlite3_finalize(statement_);
    statement_ = nullptr;
    db_ = nullptr;
}

void SqliteInsert::bindWire(int column, const QByteArray& bytes, QByteArray& scratch)
{
    // ASCII is the same bytes in UTF-8, bound where it is (it outlives the step).
    if (isAscii(bytes)) {
        sqlite3_bind_text(statement_, column, bytes.constData(), int(bytes.size()), SQLITE_STATIC);
        return;
    }
    scratch = fromWire(bytes).toUtf8();
    sqlite3_bind_text(statement_, column, scratch.constData(), int(scratch.size()), SQLITE_STATIC);
}

void SqliteInsert::bindText(int column, const QString& text, QString& seen, QByteArray& utf8)
{
    if (text != seen || utf8.isNull()) {
        seen = text;
        utf8 = text.toUtf8();
    }
    sqlite3_bind_text(statement_, column, utf8.constData(), int(utf8.size()), SQLITE_STATIC);
}

bool SqliteInsert::insert(const QString& day, const QString& time, const QByteArray& sender,
                          const QByteArray& recipient, const QByteArray& body)
{
    bindText(1, day, day_, dayUtf8_);
    bindText(2, time, time_, timeUtf8_);
    bindWire(3, sender, scratch_[0]);
    bindWire(4, recipient, scratch_[1]);
    bindWire(5, body, scratch_[2]);
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_DONE) {
        lastId_ = sqlite3_last_insert_rowid(db_);
        error_ = QSqlError();
    } else {
        // As Qt's driver words it, so the log and the codes read the same.
        error_ =
            QSqlError(QStringLiteral("Unable to fetch row"), QString::fromUtf8(sqlite3_errmsg(db_)),
                      QSqlError::ConnectionError, QString::number(result));
    }
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_); // they point into the records
    return result == SQLITE_DONE;
}

} // namespace wispline::server
