#pragma once
// A consistent copy of a SQLite store while a server works on it: one read transaction sees the
// database as of its start, and the copy is written from that, so writers go on meanwhile.
#include <QString>

namespace wispline::server
{

// Copies the database file to target, which must not exist yet; the copy is readable by its
// owner only. False with a reason (and no target left behind) on failure.
bool backUpSqlite(const QString& file, const QString& target, QString* error);

// Creates a database file and its folder, when missing, for their owner only (0600 and 0700):
// the file holds password hashes and messages, whatever the umask of whoever runs the server.
bool createPrivately(const QString& file, QString* error);

} // namespace wispline::server
