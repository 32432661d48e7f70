#include "store/RoutingConnection.h"
#include "store/Schema.h"
#include "store/StoreConnection.h"

#include "base/ServerLog.h"

#include <QSqlError>

namespace wispline::server
{

RoutingConnection::RoutingConnection(const StoreLocation& where, Reach& reach)
    : where_(where), reach_(reach)
{
}

bool RoutingConnection::open(QString* error)
{
    db_ = where_.addConnection(where_.name(), StoreLocation::kRoutingBusyMs);
    if (!db_.open()) {
        lastError_ = db_.lastError().text();
        if (error)
            *error = lastError_;
        return false;
    }
    if (!ensureSchema(db_, where_.postgres(), &lastError_)) {
        if (error)
            *error = lastError_;
        return false;
    }
    return true;
}

void RoutingConnection::close()
{
    if (freePrepared_)
        freePrepared_();
    if (db_.isValid()) {
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(where_.name());
    }
}

void RoutingConnection::keepPrepared(std::function<void()> free, std::function<void()> prepare)
{
    freePrepared_ = std::move(free);
    prepare_ = std::move(prepare);
}

bool RoutingConnection::usable()
{
    if (!lost_)
        return true;
    if (!reach_.reached()) {
        lastError_ = QStringLiteral("no connection to the database");
        return false;
    }
    if (freePrepared_)
        freePrepared_();
    if (!reopenConnection(db_, &lastError_)) {
        reach_.lost();
        return false;
    }
    if (prepare_)
        prepare_();
    lost_ = false;
    logLine(QStringLiteral("storage: routing connection to the database opened again"));
    return true;
}

void RoutingConnection::noteFailure()
{
    if (lost_ || !connectionLost(db_, where_.postgres()))
        return;
    lost_ = true;
    reach_.lost();
}

void RoutingConnection::checkAfterReach()
{
    if (!lost_ && connectionLost(db_, where_.postgres()))
        lost_ = true;
}

} // namespace wispline::server
