#pragma once
// What a connection to the database learns from a failed statement: whether the connection
// itself is gone (and must be opened again), or the row is at fault (and retrying cannot help),
// or neither (a lock, a full disk: tried again later). And the pause between attempts to open
// a lost connection again.
#include <QSqlDatabase>
#include <QString>
#include <QVariantList>
#include <algorithm>

class QSqlError;

namespace wispline::server
{

// True when a statement on the connection fails too: the database restarted, vanished or cut
// the session. A file database never loses its connection this way.
bool connectionLost(QSqlDatabase& db, bool postgres);

// Closes and opens the connection again; false with the reason.
bool reopenConnection(QSqlDatabase& db, QString* error);

// True when the error comes from the row's own values (a constraint, a value the database
// cannot take, the statement cut by one), so the row can never be written as it is.
bool rowAtFault(const QSqlError& error, bool postgres);

// Keeps a row the database refused for good in the table set_aside, each value hex-encoded (so
// no value can be refused again), for the operator to look at. False when even that failed.
bool setAside(QSqlDatabase& db, const QString& kind, const QSqlError& error,
              const QVariantList& values);

// 0.1 s, doubling up to 5 s, back to the start after a success.
class Backoff
{
public:
    static constexpr int kFirstMs = 100;
    static constexpr int kLongestMs = 5000;
    int next()
    {
        const int now = nextMs_;
        nextMs_ = std::min(nextMs_ * 2, kLongestMs);
        return now;
    }
    void reset() { nextMs_ = kFirstMs; }

private:
    int nextMs_ = kFirstMs;
};

} // namespace wispline::server
