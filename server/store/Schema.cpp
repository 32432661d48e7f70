#include "store/Schema.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace wispline::server
{
namespace
{

// The write-ahead log is cut back to this size after each checkpoint.
constexpr int kJournalSizeLimit = 64 * 1024 * 1024;
// Serialises the schema creation of nodes starting together on one PostgreSQL database.
constexpr int kSchemaLockKey = 0x5749;

bool run(QSqlDatabase& db, const QString& sql, QString* error)
{
    QSqlQuery q(db);
    if (!q.exec(sql)) {
        *error = q.lastError().text();
        return false;
    }
    return true;
}

bool offlineIdsNeverReused(QSqlDatabase& db, QString* error)
{
    // Files from before took the ids of removed rows again: their queue moves, ids and all, to
    // a table that never does.
    {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral(
                "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'offline'")) ||
            !q.next()) {
            *error = q.lastError().text();
            return false;
        }
        if (q.value(0).toString().contains(QLatin1String("AUTOINCREMENT"), Qt::CaseInsensitive))
            return true;
    }
    const bool moved =
        db.transaction() &&
        run(db,
            QStringLiteral("CREATE TABLE offline_new(id INTEGER PRIMARY KEY AUTOINCREMENT, "
                           "recipient TEXT NOT NULL, text TEXT NOT NULL, created TEXT)"),
            error) &&
        run(db,
            QStringLiteral("INSERT INTO offline_new(id, recipient, text, created) SELECT id, "
                           "recipient, text, created FROM offline ORDER BY id"),
            error) &&
        run(db, QStringLiteral("DROP TABLE offline"), error) &&
        run(db, QStringLiteral("ALTER TABLE offline_new RENAME TO offline"), error) && db.commit();
    if (!moved)
        db.rollback();
    return moved;
}

bool ensurePostgresSchema(QSqlDatabase& db, QString* error)
{
    const auto exec = [&db, error](const QString& sql) { return run(db, sql, error); };
    // Nodes starting together would race on CREATE ... IF NOT EXISTS: one at a time.
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    // CREATE ... IF NOT EXISTS notices are expected on every start but the first.
    const bool created =
        exec(QStringLiteral("SET client_min_messages TO warning")) &&
        exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLockKey)) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS accounts(name TEXT PRIMARY KEY, "
                            "level INTEGER NOT NULL, supervisor TEXT NOT NULL DEFAULT '', "
                            "salt BYTEA NOT NULL, hash BYTEA NOT NULL, iterations INTEGER "
                            "NOT NULL DEFAULT 0, directory INTEGER NOT NULL DEFAULT 0)")) &&
        exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS messages(id BIGSERIAL PRIMARY KEY, "
                            "day TEXT NOT NULL, time TEXT NOT NULL, sender TEXT NOT NULL, "
                            "recipient TEXT NOT NULL, body TEXT NOT NULL)")) &&
        exec(QStringLiteral("CREATE INDEX IF NOT EXISTS messages_day ON messages(day)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS offline(id BIGSERIAL PRIMARY KEY, "
                            "recipient TEXT NOT NULL, text TEXT NOT NULL, created TEXT)")) &&
        exec(
            QStringLiteral("CREATE INDEX IF NOT EXISTS offline_recipient ON offline(recipient)")) &&
        // Several nodes on one database: each heart-beats in nodes, says who is connected to it
        // in presence, and receives what other nodes route to its users in inbox.
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS nodes(id TEXT PRIMARY KEY, seen "
                            "TIMESTAMPTZ NOT NULL)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS presence(name TEXT PRIMARY KEY, "
                            "node TEXT NOT NULL, level INTEGER NOT NULL)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS inbox(id BIGSERIAL PRIMARY KEY, "
                            "node TEXT NOT NULL, kind TEXT NOT NULL, recipient TEXT NOT "
                            "NULL, text TEXT NOT NULL, created TEXT NOT NULL)")) &&
        exec(QStringLiteral("CREATE INDEX IF NOT EXISTS inbox_node ON inbox(node, id)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS set_aside(id BIGSERIAL PRIMARY KEY, "
                            "kind TEXT NOT NULL, error TEXT NOT NULL, data TEXT NOT NULL)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS verifiers(name TEXT PRIMARY KEY, "
                            "verifier BYTEA NOT NULL, key_id BYTEA NOT NULL, made BIGINT NOT "
                            "NULL)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS origins(name TEXT NOT NULL, address TEXT "
                            "NOT NULL, seen BIGINT NOT NULL, PRIMARY KEY(name, address))")) &&
        // Accounts kept in the organisation's directory (none before it was asked).
        exec(QStringLiteral("ALTER TABLE accounts ADD COLUMN IF NOT EXISTS directory INTEGER NOT "
                            "NULL DEFAULT 0"));
    if (!created || !db.commit()) {
        if (created)
            *error = db.lastError().text();
        db.rollback();
        return false;
    }
    return true;
}

} // namespace

bool applyPragmas(QSqlDatabase& db)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral("PRAGMA synchronous=FULL")) &&
           q.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0")) &&
           q.exec(QStringLiteral("PRAGMA journal_size_limit=%1").arg(kJournalSizeLimit));
}

bool ensureSchema(QSqlDatabase& db, bool postgres, QString* error)
{
    if (postgres)
        return ensurePostgresSchema(db, error);
    const auto exec = [&db, error](const QString& sql) { return run(db, sql, error); };
    // WAL lets the admin commands read and write while the server runs. Checkpoints (and their
    // disk syncs) run on a timer instead of whenever the log fills, so they do not stall message
    // routing every few hundred commits.
    const bool created =
        exec(QStringLiteral("PRAGMA journal_mode=WAL")) && applyPragmas(db) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS accounts(name TEXT PRIMARY KEY, "
                            "level INTEGER NOT NULL, supervisor TEXT NOT NULL DEFAULT '', "
                            "salt BLOB NOT NULL, hash BLOB NOT NULL, iterations INTEGER NOT "
                            "NULL DEFAULT 0, directory INTEGER NOT NULL DEFAULT 0)")) &&
        exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY, "
                            "day TEXT NOT NULL, time TEXT NOT NULL, sender TEXT NOT NULL, "
                            "recipient TEXT NOT NULL, body TEXT NOT NULL)")) &&
        // Only the day is indexed: it grows in step with the row id, so an insert touches
        // the last pages alone. Indexes by user would rewrite pages all over the file on
        // every commit (measured: a third more server CPU per delivery); a day download walks
        // the day's rows once instead, on a thread of its own.
        exec(QStringLiteral("CREATE INDEX IF NOT EXISTS messages_day ON messages(day)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS offline(id INTEGER PRIMARY KEY "
                            "AUTOINCREMENT, recipient TEXT NOT NULL, text TEXT NOT NULL, created "
                            "TEXT)")) &&
        offlineIdsNeverReused(db, error) &&
        exec(
            QStringLiteral("CREATE INDEX IF NOT EXISTS offline_recipient ON offline(recipient)")) &&
        exec(
            QStringLiteral("CREATE TABLE IF NOT EXISTS set_aside(id INTEGER PRIMARY KEY, kind TEXT "
                           "NOT NULL, error TEXT NOT NULL, data TEXT NOT NULL)")) &&
        // A fast verifier of each password that passed a full check lately, and the addresses
        // each user logged on from: see Accounts.
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS verifiers(name TEXT PRIMARY KEY, "
                            "verifier BLOB NOT NULL, key_id BLOB NOT NULL, made INTEGER NOT "
                            "NULL)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS origins(name TEXT NOT NULL, address TEXT "
                            "NOT NULL, seen INTEGER NOT NULL, PRIMARY KEY(name, address))"));
    if (!created)
        return false;
    // Databases from before key derivation lack the round count (their hashes count as old),
    // and those from before the directory its mark.
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT iterations FROM accounts LIMIT 0")) &&
        !exec(QStringLiteral(
            "ALTER TABLE accounts ADD COLUMN iterations INTEGER NOT NULL DEFAULT 0")))
        return false;
    if (q.exec(QStringLiteral("SELECT directory FROM accounts LIMIT 0")))
        return true;
    return exec(
        QStringLiteral("ALTER TABLE accounts ADD COLUMN directory INTEGER NOT NULL DEFAULT 0"));
}

} // namespace wispline::server
