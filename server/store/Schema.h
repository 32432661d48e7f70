#pragma once
// The tables the server keeps, created on first use and brought up to date on every start: one
// statement list for SQLite, one for PostgreSQL (where nodes starting together take turns), and
// the upgrades of files written by older servers. New tables and columns start here.
#include <QSqlDatabase>
#include <QString>

namespace wispline::server
{

// The same durability on every connection to a SQLite file: each commit synced (offline
// messages, accounts and passwords have no other copy), checkpoints by the storage thread's
// timer only.
bool applyPragmas(QSqlDatabase& db);

// Creates the tables that are missing and upgrades those of older servers, on an open
// connection. False on failure; error is set with the reason where the database gave one.
bool ensureSchema(QSqlDatabase& db, bool postgres, QString* error);

} // namespace wispline::server
