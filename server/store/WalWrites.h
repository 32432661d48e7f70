#pragma once
// SQLite writes each page of the write-ahead log with two calls, the frame's 24-byte header and
// then the page, so a commit of ten pages is twenty writes, each a walk through the file system
// that half fills a page of the file's cache (zeroing the rest of it when the log grows). On a
// connection whose commits sync the log, its writes can be gathered instead and go out as one
// write just before the sync that makes them durable, or before anything reads, sizes or cuts
// the file. Nothing is acknowledged, and no other connection can see a frame, before that sync.
struct sqlite3;

namespace wispline::server
{

// Puts a thin layer over SQLite's default file system, once in the process, before connections
// opened afterwards: every file passes through it untouched until gathering is asked for.
void installWalWrites();
// Gathers the write-ahead log's writes of db's connection from now on. False (and nothing
// changes) when the layer is not installed, the log is not open yet, or the connection's commits
// do not sync the log (synchronous below FULL).
bool gatherWalWrites(sqlite3* db);

} // namespace wispline::server
