#include "store/SqliteInsert.h"

#include "base/ServerRules.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>
#include <cstring>
#include <sqlite3.h>

namespace wispline::server
{
namespace
{

constexpr int kColumns = 5;

// Eight bytes at a time: most of a row's bytes are its body, all ASCII as a rule.
bool isAscii(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    const qsizetype size = bytes.size();
    quint64 any = 0;
    qsizetype i = 0;
    for (; i + 8 <= size; i += 8) {
        quint64 word;
        std::memcpy(&word, p + i, sizeof word);
        any |= word;
    }
    for (; i < size; ++i)
        any |= static_cast<unsigned char>(p[i]);
    return (any & 0x8080808080808080ULL) == 0;
}

QByteArray insertSql(int rows)
{
    QByteArray sql =
        "INSERT INTO messages(day, time, sender, recipient, body) VALUES(?, ?, ?, ?, ?)";
    for (int i = 1; i < rows; ++i)
        sql += ", (?, ?, ?, ?, ?)";
    return sql;
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
    for (std::size_t i = 0; i < statements_.size(); ++i) {
        const QByteArray sql = insertSql(kRowsPerStatement[i]);
        if (sqlite3_prepare_v2(connection, sql.constData(), int(sql.size()), &statements_[i],
                               nullptr) != SQLITE_OK) {
            clear();
            return false;
        }
    }
    db_ = connection;
    return true;
}

void SqliteInsert::clear()
{
    for (sqlite3_stmt*& statement : statements_) {
        sqlite3_finalize(statement); // a null one is no harm
        statement = nullptr;
    }
    db_ = nullptr;
}

void SqliteInsert::bindWire(sqlite3_stmt* statement, int column, const QByteArray& bytes)
{
    // ASCII is the same bytes in UTF-8, bound where it is (it outlives the step); the rest is
    // converted, and SQLite keeps its own copy.
    if (isAscii(bytes)) {
        sqlite3_bind_text(statement, column, bytes.constData(), int(bytes.size()), SQLITE_STATIC);
        return;
    }
    const QByteArray utf8 = fromWire(bytes).toUtf8();
    sqlite3_bind_text(statement, column, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

void SqliteInsert::bindText(sqlite3_stmt* statement, int column, const QString& text,
                            const QString& seen, const QByteArray& utf8)
{
    if (text == seen) {
        sqlite3_bind_text(statement, column, utf8.constData(), int(utf8.size()), SQLITE_STATIC);
        return;
    }
    const QByteArray own = text.toUtf8();
    sqlite3_bind_text(statement, column, own.constData(), int(own.size()), SQLITE_TRANSIENT);
}

void SqliteInsert::bindRow(sqlite3_stmt* statement, int first, const DeliveredRow& row)
{
    bindText(statement, first, row.day, day_, dayUtf8_);
    bindText(statement, first + 1, row.time, time_, timeUtf8_);
    bindWire(statement, first + 2, row.sender);
    bindWire(statement, first + 3, row.recipient);
    bindWire(statement, first + 4, row.body);
}

bool SqliteInsert::insert(const DeliveredRow* rows, std::size_t count)
{
    std::size_t done = 0;
    while (done < count) {
        std::size_t which = 0;
        while (std::size_t(kRowsPerStatement[which]) > count - done)
            ++which;
        sqlite3_stmt* statement = statements_[which];
        const int n = kRowsPerStatement[which];
        // Converted once a statement, bound where they are for each row of that second.
        if (rows[done].day != day_ || dayUtf8_.isNull()) {
            day_ = rows[done].day;
            dayUtf8_ = day_.toUtf8();
        }
        if (rows[done].time != time_ || timeUtf8_.isNull()) {
            time_ = rows[done].time;
            timeUtf8_ = time_.toUtf8();
        }
        for (int i = 0; i < n; ++i)
            bindRow(statement, 1 + i * kColumns, rows[done + std::size_t(i)]);
        const int result = sqlite3_step(statement);
        if (result != SQLITE_DONE) {
            // As Qt's driver words it, so the log and the codes read the same.
            error_ = QSqlError(QStringLiteral("Unable to fetch row"),
                               QString::fromUtf8(sqlite3_errmsg(db_)), QSqlError::ConnectionError,
                               QString::number(result));
        }
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement); // they point into the rows
        if (result != SQLITE_DONE)
            return false;
        done += std::size_t(n);
    }
    lastId_ = sqlite3_last_insert_rowid(db_);
    error_ = QSqlError();
    return true;
}

} // namespace wispline::server
