#pragma once
// The routing thread's own connection to the database, which accounts, settings and the offline
// queue share on that thread, and the last error any of them met. A PostgreSQL database may
// restart or vanish: a connection found cut is opened again only once the storage thread has
// reached the database (it tries, with pauses growing to 5 s), so routing never waits on a
// connection attempt.
#include "store/StoreAddress.h"

#include <QSqlDatabase>
#include <QString>
#include <functional>

namespace wispline::server
{

class RoutingConnection
{
public:
    // The thread that reaches a lost database again.
    class Reach
    {
    public:
        // Its connection works.
        virtual bool reached() const = 0;
        // A connection was found cut: it reaches the database again.
        virtual void lost() = 0;

    protected:
        ~Reach() = default;
    };

    RoutingConnection(const StoreLocation& where, Reach& reach);
    // Opens the connection and creates the tables that are missing; false with the reason,
    // which lastError() keeps too.
    bool open(QString* error);
    bool isOpen() const { return db_.isOpen(); }
    // Frees the statements prepared on it, closes it and forgets it.
    void close();
    // Usable now, or opened again once the storage thread has reached the database again.
    bool usable();
    // After a failed statement: is the connection itself gone?
    void noteFailure();
    // The storage thread reached the database again: this connection most likely went the same
    // way, and opens again at its next use rather than failing it first.
    void checkAfterReach();
    // Statements prepared once on this connection: freed before it is opened again (or
    // closed), prepared again after.
    void keepPrepared(std::function<void()> free, std::function<void()> prepare);

    QSqlDatabase& db() { return db_; }
    bool postgres() const { return where_.postgres(); }
    const QString& lastError() const { return lastError_; }
    void setLastError(const QString& error) { lastError_ = error; }

private:
    const StoreLocation& where_;
    Reach& reach_;
    QSqlDatabase db_;
    bool lost_ = false;
    QString lastError_;
    std::function<void()> freePrepared_;
    std::function<void()> prepare_;
};

} // namespace wispline::server
