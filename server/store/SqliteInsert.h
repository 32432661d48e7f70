#pragma once
// The storage thread's row insert on SQLite, through the library itself. Qt's binding copies
// each value into a variant and hands text over as UTF-16, which SQLite turns back into UTF-8:
// most of a row's cost. Same statement, same stored values, the error codes and texts Qt's
// driver gives.
#include <QByteArray>
#include <QSqlError>
#include <QString>

class QSqlDatabase;
struct sqlite3;
struct sqlite3_stmt;

namespace wispline::server
{

class SqliteInsert
{
public:
    SqliteInsert() = default;
    SqliteInsert(const SqliteInsert&) = delete;
    SqliteInsert& operator=(const SqliteInsert&) = delete;
    ~SqliteInsert();

    // Prepares on db's own connection; false when db is not SQLite's or the statement cannot
    // be made (Qt's statement is used then).
    bool prepare(QSqlDatabase& db);
    bool ready() const { return statement_ != nullptr; }
    // Before the connection closes or reopens.
    void clear();

    // One row of the day's messages: sender, recipient and body are wire text (Windows-1252).
    bool insert(const QString& day, const QString& time, const QByteArray& sender,
                const QByteArray& recipient, const QByteArray& body);
    QSqlError lastError() const { return error_; }
    // The row id of the last row inserted here.
    qint64 lastInsertId() const { return lastId_; }

private:
    void bindWire(int column, const QByteArray& bytes, QByteArray& scratch);
    void bindText(int column, const QString& text, QString& seen, QByteArray& utf8);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* statement_ = nullptr;
    QSqlError error_;
    qint64 lastId_ = 0;
    // The day and time are the same for a second's rows: converted once.
    QString day_;
    QString time_;
    QByteArray dayUtf8_;
    QByteArray timeUtf8_;
    QByteArray scratch_[3]; // wire text past ASCII, converted
};

} // namespace wispline::server
