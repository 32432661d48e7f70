#pragma once
// Account names kept once for the life of the process, packed into chunks of their own. A
// logged-on connection's name (and the table of users on, keyed by it) refers to these bytes,
// so it costs the connection no block of the heap: such a small block, made among a log-on's
// short-lived ones, kept most of its page from going back once they were freed. Only names that
// passed a log-on are kept, so the storage is bounded by the accounts, and a user who logs on
// again uses the same bytes.
#include <QByteArray>
#include <QByteArrayView>

namespace wispline::server
{

// The name's bytes, followed by a 0, as a QByteArray that does not own them (see
// QByteArray::fromRawData()): copies of it stay valid, whatever holds them, as long as the
// process runs.
QByteArray internedName(QByteArrayView name);

} // namespace wispline::server
