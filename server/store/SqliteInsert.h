#pragma once
// The storage thread's row insert on SQLite, through the library itself. Qt's binding copies
// each value into a variant and hands text over as UTF-16, which SQLite turns back into UTF-8:
// most of a row's cost. Same statement, same stored values, the error codes and texts Qt's
// driver gives.
#include <QByteArray>
#include <QSqlError>
#include <QString>

#include <array>
#include <cstddef>

class QSqlDatabase;
struct sqlite3;
struct sqlite3_stmt;

namespace wispline::server
{

// One delivered message as the day's messages keep it: sender, recipient and body are wire
// text (Windows-1252).
struct DeliveredRow {
    QString day;
    QString time;
    QByteArray sender;
    QByteArray recipient;
    QByteArray body;
};

class SqliteInsert
{
public:
    // A batch goes in by statements of this many rows, then fewer: each statement is one walk
    // through SQLite's engine, its cursors opened once for all its rows.
    static constexpr std::array<int, 4> kRowsPerStatement{64, 16, 4, 1};

    SqliteInsert() = default;
    SqliteInsert(const SqliteInsert&) = delete;
    SqliteInsert& operator=(const SqliteInsert&) = delete;
    ~SqliteInsert();

    // Prepares on db's own connection; false when db is not SQLite's or the statements cannot
    // be made (Qt's statement is used then).
    bool prepare(QSqlDatabase& db);
    bool ready() const { return db_ != nullptr; }
    sqlite3* handle() const { return db_; }
    // Before the connection closes or reopens.
    void clear();

    // Rows in order, in the transaction the caller opened; on a failure some may be in, and the
    // caller rolls back.
    bool insert(const DeliveredRow* rows, std::size_t count);
    bool insert(const DeliveredRow& row) { return insert(&row, 1); }
    QSqlError lastError() const { return error_; }
    // The row id of the last row inserted here.
    qint64 lastInsertId() const { return lastId_; }

private:
    void bindRow(sqlite3_stmt* statement, int first, const DeliveredRow& row);
    void bindWire(sqlite3_stmt* statement, int column, const QByteArray& bytes);
    void bindText(sqlite3_stmt* statement, int column, const QString& text, const QString& seen,
                  const QByteArray& utf8);

    sqlite3* db_ = nullptr;
    std::array<sqlite3_stmt*, kRowsPerStatement.size()> statements_{};
    QSqlError error_;
    qint64 lastId_ = 0;
    // The day and time are the same for a second's rows: converted once a statement.
    QString day_;
    QString time_;
    QByteArray dayUtf8_;
    QByteArray timeUtf8_;
};

} // namespace wispline::server
