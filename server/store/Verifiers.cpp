#include "store/Verifiers.h"

#include "base/Crypto.h"
#include "base/ServerLog.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <utility>

namespace wispline::server
{
namespace
{

constexpr int kFlushMs = 1000;
constexpr qint64 kSweepSeconds = 3600;
constexpr qint64 kDaySeconds = 24 * 3600;
// Past this many waiting (the database away for long) new ones are not kept: they are a cache.
constexpr qsizetype kMaxWaiting = 100000;

qint64 nowSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace

Verifiers::Verifiers(RoutingConnection& routing) : routing_(routing)
{
    flushTimer_.setSingleShot(true);
    QObject::connect(&flushTimer_, &QTimer::timeout, [this] { flush(); });
}

QByteArray Verifiers::verifierOf(const QByteArray& key, const Account& account,
                                 const QByteArray& password)
{
    // Each part but the last is of a fixed length or ends at a byte no name or salt length
    // makes ambiguous: the name holds no NUL, the salt's length is given.
    QByteArray message = QByteArrayLiteral("wispline verifier 1");
    message += '\0';
    message += account.name.toUtf8();
    message += '\0';
    message += QByteArray::number(account.salt.size()) + ':' + account.salt;
    message += QByteArray::number(account.iterations) + ':' + QByteArray::number(account.level);
    message += '\0';
    message += password;
    return crypto::hmacSha256(key, message);
}

QByteArray Verifiers::keyIdOf(const QByteArray& key)
{
    return crypto::hmacSha256(key, QByteArrayLiteral("wispline key id")).left(8);
}

QString Verifiers::originKey(const QString& name, const QString& address)
{
    return name + QLatin1Char('\n') + address;
}

void Verifiers::overlay(const QString& name, const QString& address, LogOnRecord* record) const
{
    if (const auto v = verifiers_.constFind(name); v != verifiers_.cend()) {
        record->verifier = v->verifier;
        record->verifierKeyId = v->keyId;
        record->verifierMade = v->at;
    }
    if (const auto o = seen_.constFind(originKey(name, address)); o != seen_.cend())
        record->originSeen = std::max(record->originSeen, o->at);
}

void Verifiers::keepVerifier(const QString& name, const QByteArray& verifier,
                             const QByteArray& keyId)
{
    if (days_ <= 0 || (verifiers_.size() >= kMaxWaiting && !verifiers_.contains(name)))
        return;
    verifiers_.insert(name, {verifier, keyId, nowSeconds()});
    scheduleFlush();
}

void Verifiers::keepOrigin(const QString& name, const QString& address)
{
    const QString key = originKey(name, address);
    if (seen_.size() >= kMaxWaiting && !seen_.contains(key))
        return;
    seen_.insert(key, {name, address, nowSeconds()});
    scheduleFlush();
}

void Verifiers::forget(const QString& name)
{
    verifiers_.remove(name);
}

void Verifiers::scheduleFlush()
{
    if (!flushTimer_.isActive())
        flushTimer_.start(kFlushMs);
}

bool Verifiers::flush()
{
    const qint64 now = nowSeconds();
    if (now - lastSweep_ >= kSweepSeconds && routing_.usable()) {
        lastSweep_ = now;
        sweep(now);
    }
    if (verifiers_.isEmpty() && seen_.isEmpty())
        return true;
    if (write()) {
        verifiers_.clear();
        seen_.clear();
        failing_ = false;
        return true;
    }
    if (!std::exchange(failing_, true))
        logLine(QStringLiteral("could not write the verifiers of recent log-ons, tried again each "
                               "second: %1")
                    .arg(routing_.lastError()));
    scheduleFlush(); // meanwhile served from here
    return false;
}

bool Verifiers::write()
{
    if (!routing_.usable())
        return false;
    QSqlDatabase& db = routing_.db();
    const bool postgres = routing_.postgres();
    const auto fail = [&](const QSqlQuery& q) {
        routing_.setLastError(q.lastError().text());
        routing_.noteFailure();
        db.rollback();
        return false;
    };
    if (!db.transaction()) {
        routing_.noteFailure();
        return false;
    }
    QSqlQuery v(db);
    v.prepare(postgres ? QStringLiteral("INSERT INTO verifiers(name, verifier, key_id, made) "
                                        "VALUES(?, ?, ?, ?) ON CONFLICT(name) DO UPDATE SET "
                                        "verifier = EXCLUDED.verifier, key_id = EXCLUDED.key_id, "
                                        "made = EXCLUDED.made")
                       : QStringLiteral("INSERT OR REPLACE INTO verifiers(name, verifier, key_id, "
                                        "made) VALUES(?, ?, ?, ?)"));
    for (auto it = verifiers_.cbegin(); it != verifiers_.cend(); ++it) {
        v.addBindValue(it.key());
        v.addBindValue(it->verifier);
        v.addBindValue(it->keyId);
        v.addBindValue(it->at);
        if (!v.exec())
            return fail(v);
    }
    QSqlQuery o(db);
    o.prepare(postgres ? QStringLiteral("INSERT INTO origins(name, address, seen) VALUES(?, ?, ?) "
                                        "ON CONFLICT(name, address) DO UPDATE SET seen = "
                                        "EXCLUDED.seen")
                       : QStringLiteral("INSERT OR REPLACE INTO origins(name, address, seen) "
                                        "VALUES(?, ?, ?)"));
    for (auto it = seen_.cbegin(); it != seen_.cend(); ++it) {
        o.addBindValue(it->name);
        o.addBindValue(it->address);
        o.addBindValue(it->at);
        if (!o.exec())
            return fail(o);
    }
    if (!db.commit()) {
        routing_.setLastError(db.lastError().text());
        routing_.noteFailure();
        db.rollback();
        return false;
    }
    return true;
}

void Verifiers::sweep(qint64 now)
{
    QSqlQuery q(routing_.db());
    q.prepare(QStringLiteral("DELETE FROM verifiers WHERE made < ?"));
    q.addBindValue(now - qint64(days_) * kDaySeconds);
    const bool swept = q.exec();
    q.prepare(QStringLiteral("DELETE FROM origins WHERE seen < ?"));
    q.addBindValue(now - qint64(kOriginDays) * kDaySeconds);
    if (!swept || !q.exec())
        logLine(QStringLiteral("could not sweep old verifiers and origins: %1")
                    .arg(q.lastError().text()));
}

} // namespace wispline::server
