#include "store/ServerStore.h"

#include "base/ServerLog.h"
#include "base/ServerRules.h"

#include <QSqlError>

namespace wispline::server
{
ServerStore::ServerStore(QObject* parent) : QObject(parent)
{
    storage_.whenReachedAgain([this](const QString& what) {
        routing_.checkAfterReach();
        failures_.reportRecovery(what);
        offline_.retryNow();
    });
}

ServerStore::~ServerStore()
{
    if (routing_.isOpen()) {
        verifiers_.flush();
        flush();
    }
    storage_.stop();
    routing_.close();
}

bool ServerStore::isPostgresAddress(const QString& path)
{
    return StoreLocation::isPostgresAddress(path);
}

QSqlDatabase ServerStore::addConnection(const QString& name, int busyMs) const
{
    return where_.addConnection(name, busyMs);
}

bool ServerStore::open(const QString& path, QString* error)
{
    QString why;
    if (!where_.set(path, &why)) {
        routing_.setLastError(why);
        if (error)
            *error = why;
        return false;
    }
    if (!routing_.open(error))
        return false;
    disk_.setFile(where_.file());
    storage_.readWatermark(routing_.db());
    offline_.prepare();
    storage_.start();
    return true;
}

std::optional<Account> ServerStore::account(const QString& name, bool* failed)
{
    return accounts_.account(name, failed);
}

LogOnRecord ServerStore::logOnRecord(const QString& name, const QString& address, bool* failed)
{
    LogOnRecord record = accounts_.logOnRecord(name, address, failed);
    if (record.account)
        verifiers_.overlay(record.account->name, address, &record);
    return record;
}

QList<Account> ServerStore::accounts()
{
    return accounts_.accounts();
}

bool ServerStore::passwordMatches(const std::optional<Account>& account,
                                  const QByteArray& password) const
{
    return accounts_.passwordMatches(account, password);
}

bool ServerStore::hashIsOutdated(const Account& account) const
{
    return accounts_.hashIsOutdated(account);
}

StoreResult ServerStore::rehashPassword(const QString& name, const QByteArray& password)
{
    return accounts_.rehashPassword(name, password);
}

PasswordHash ServerStore::hashPassword(const QByteArray& password) const
{
    return accounts_.hashPassword(password);
}

StoreResult ServerStore::storePasswordHash(const QString& name, const PasswordHash& hash,
                                           const QByteArray& replacedSalt)
{
    const StoreResult result = accounts_.storePasswordHash(name, hash, replacedSalt);
    if (result == StoreResult::Ok)
        verifiers_.forget(normalizeUserName(name));
    return result;
}

StoreResult ServerStore::addUser(const QString& name, const QString& password, int level,
                                 const QString& supervisor)
{
    return accounts_.addUser(name, password, level, supervisor);
}

StoreResult ServerStore::setPassword(const QString& name, const QString& password)
{
    return accounts_.setPassword(name, password);
}

StoreResult ServerStore::setLevel(const QString& name, int level, const QString& supervisor)
{
    return accounts_.setLevel(name, level, supervisor);
}

StoreResult ServerStore::keepDirectoryAccount(Account& account, std::optional<Account>* before)
{
    const StoreResult result = accounts_.keepDirectoryAccount(account, before);
    if (result == StoreResult::Ok && *before &&
        ((*before)->level != account.level || (*before)->supervisor != account.supervisor))
        verifiers_.forget(normalizeUserName(account.name));
    return result;
}

StoreResult ServerStore::renewDirectorySalt(const QString& name, QByteArray* salt)
{
    const StoreResult result = accounts_.renewDirectorySalt(name, salt);
    verifiers_.forget(normalizeUserName(name)); // whatever the database did
    return result;
}

StoreResult ServerStore::useDirectory(const QString& name)
{
    const StoreResult result = accounts_.useDirectory(name);
    if (result == StoreResult::Ok)
        verifiers_.forget(normalizeUserName(name));
    return result;
}

QString ServerStore::minimumVersion(bool* failed)
{
    return accounts_.minimumVersion(failed);
}

StoreResult ServerStore::setMinimumVersion(const QString& version)
{
    return accounts_.setMinimumVersion(version);
}

QSet<QByteArray> ServerStore::knownNames(const QList<QByteArray>& names, bool* failed)
{
    return accounts_.knownNames(names, failed);
}

void ServerStore::recordMessage(const QString& day, const QString& time, const QByteArray& sender,
                                const QByteArray& recipient, const QByteArray& body,
                                bool withOffline)
{
    if (!withOffline && storage_.record(day, time, sender, recipient, body))
        return;
    offline_.addRecord(day, time, sender, recipient, body);
}

void ServerStore::queueOffline(const QString& created, const QByteArray& recipient,
                               const QByteArray& displayText, bool commitNow)
{
    offline_.add(created, recipient, displayText, commitNow);
}

bool ServerStore::flushOffline()
{
    return offline_.flushOffline();
}

QList<OfflineMessage> ServerStore::offlineBatch(const QByteArray& recipient, qint64 afterId,
                                                int limit, bool* failed)
{
    return offline_.batch(recipient, afterId, limit, failed);
}

QList<OfflineMessage> ServerStore::offlineUpTo(const QByteArray& recipient, qint64 upToId,
                                               bool* failed)
{
    return offline_.upTo(recipient, upToId, failed);
}

bool ServerStore::dropOffline(const QByteArray& recipient, const QList<qint64>& ids)
{
    return offline_.drop(recipient, ids);
}

bool ServerStore::flush()
{
    bool ok = offline_.flush();
    QString error;
    if (!storage_.flush(&error)) {
        routing_.setLastError(error);
        ok = false;
    }
    return ok;
}

void ServerStore::whenCommitted(std::function<void(qint64)> then)
{
    // The offline queue's writes first: many (a message to many offline users) are written a
    // slice a turn, waited for without holding up routing for all of them at once.
    offline_.whenDone(
        [this, then = std::move(then)]() mutable { storage_.whenCommitted(std::move(then)); });
}

bool ServerStore::congested() const
{
    return queuedBytes() > kMaxPendingBytes;
}

qint64 ServerStore::failingForMs() const
{
    return failures_.failingForMs();
}

void ServerStore::forgetFailedReads()
{
    failures_.forgetFailedReads();
}

qint64 ServerStore::queuedRows()
{
    return offline_.waitingRows() + storage_.uncommittedRows();
}

std::optional<StopNotice> ServerStore::stopNotice()
{
    StopNotice notice;
    if (!routing_.usable() || !readStopNotice(routing_.db(), &notice))
        return std::nullopt;
    return notice;
}

StoreResult ServerStore::announceStop(const QString& text)
{
    QString error;
    if (!routing_.usable() || !writeStopNotice(routing_.db(), where_.postgres(), text, &error)) {
        routing_.setLastError(error.isEmpty() ? routing_.lastError() : error);
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
}

std::vector<SpilledRow> ServerStore::takeUnwritten()
{
    std::vector<SpilledRow> rows = storage_.takeUnwritten();
    std::vector<SpilledRow> offline = offline_.takeUnwritten();
    rows.insert(rows.end(), std::make_move_iterator(offline.begin()),
                std::make_move_iterator(offline.end()));
    return rows;
}

bool ServerStore::onOwnConnection(const std::function<bool(QSqlDatabase&)>& work, QString* error)
{
    const QString name = where_.name() + QStringLiteral("-spill");
    bool ok = false;
    {
        QSqlDatabase db = where_.addConnection(name);
        if (!db.open())
            *error = db.lastError().text();
        else
            ok = work(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

bool ServerStore::writeRows(const std::vector<SpilledRow>& rows, const QByteArray& spillId,
                            QString* error)
{
    return onOwnConnection(
        [&](QSqlDatabase& db) {
            int setAside = 0;
            if (!writeSpilledRows(db, where_.postgres(), rows, {spillMarker(spillId)}, &setAside,
                                  error))
                return false;
            if (setAside > 0)
                logLine(QStringLiteral("storage: %1 row(s) the database refused for good set "
                                       "aside in set_aside")
                            .arg(setAside));
            return true;
        },
        error);
}

bool ServerStore::replaySpill(const QString& path, SpillReplay* report, QString* error)
{
    return onOwnConnection(
        [&](QSqlDatabase& db) {
            return wispline::server::replaySpill(path, db, where_.postgres(), report, error);
        },
        error);
}

} // namespace wispline::server
