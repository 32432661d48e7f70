#include "store/Accounts.h"

#include "base/Crypto.h"
#include "base/ServerRules.h"

#include <QCryptographicHash>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace wispline::server
{
namespace
{

// The hash of accounts stored before key derivation; still read until their next log-on.
QByteArray oldHash(const QByteArray& salt, const QByteArray& password)
{
    return QCryptographicHash::hash(salt + password, QCryptographicHash::Sha256);
}

QByteArray newSalt()
{
    return crypto::randomBytes(16);
}

constexpr auto kAccountColumns =
    "a.name, a.level, a.supervisor, a.salt, a.hash, a.iterations, a.directory";

Account accountFrom(const QSqlQuery& q)
{
    Account a;
    a.name = q.value(0).toString();
    a.level = q.value(1).toInt();
    a.supervisor = q.value(2).toString();
    a.salt = q.value(3).toByteArray();
    a.hash = q.value(4).toByteArray();
    a.iterations = q.value(5).toInt();
    a.directory = q.value(6).toInt() != 0;
    return a;
}

} // namespace

QString describe(StoreResult result)
{
    switch (result) {
    case StoreResult::Ok:
        return QStringLiteral("done");
    case StoreResult::Exists:
        return QStringLiteral("the user already exists");
    case StoreResult::NoSuchUser:
        return QStringLiteral("no such user");
    case StoreResult::BadName:
        return QStringLiteral("a user name is 1 to %1 upper case letters, digits, \"_\", \".\" "
                              "or \"-\"")
            .arg(kMaxNameLength);
    case StoreResult::BadLevel:
        return QStringLiteral("the level must be 1, 2 or 3");
    case StoreResult::BadSupervisor:
        return QStringLiteral("a supervisor must be an existing Level 2 user, and only Level 3 "
                              "users have one");
    case StoreResult::BadPassword:
        return QStringLiteral("the password is blank, too long or holds a character that is not "
                              "allowed");
    case StoreResult::BadVersion:
        return QStringLiteral("a version is written X.Y.Z with decimal numbers");
    case StoreResult::InDirectory:
        return QStringLiteral("the account is kept in the directory, whose groups give its level "
                              "(--set-password makes it a local account first)");
    case StoreResult::Failed:
        return QStringLiteral("the database refused the change");
    }
    return {};
}

Accounts::Accounts(RoutingConnection& routing, StoreFailures& failures)
    : routing_(routing), failures_(failures)
{
}

std::optional<Account> Accounts::account(const QString& name, bool* failed)
{
    const bool usable = routing_.usable();
    QSqlQuery q(routing_.db());
    if (usable) {
        q.prepare(QStringLiteral("SELECT %1 FROM accounts a WHERE a.name = ?")
                      .arg(QLatin1String(kAccountColumns)));
        q.addBindValue(normalizeUserName(name));
    }
    if (!usable || !q.exec()) {
        if (usable) {
            routing_.setLastError(q.lastError().text());
            routing_.noteFailure();
        }
        if (failed) {
            *failed = true;
            failures_.reportFailure(QStringLiteral("reading an account"), routing_.lastError());
        }
        return std::nullopt;
    }
    if (failed)
        failures_.reportRecovery(QStringLiteral("reading an account"));
    if (!q.next())
        return std::nullopt;
    return accountFrom(q);
}

LogOnRecord Accounts::logOnRecord(const QString& name, const QString& address, bool* failed)
{
    const bool usable = routing_.usable();
    QSqlQuery q(routing_.db());
    if (usable) {
        q.prepare(QStringLiteral("SELECT %1, v.verifier, v.key_id, v.made, o.seen FROM accounts a "
                                 "LEFT JOIN verifiers v ON v.name = a.name LEFT JOIN origins o ON "
                                 "o.name = a.name AND o.address = ? WHERE a.name = ?")
                      .arg(QLatin1String(kAccountColumns)));
        q.addBindValue(address);
        q.addBindValue(normalizeUserName(name));
    }
    if (!usable || !q.exec()) {
        if (usable) {
            routing_.setLastError(q.lastError().text());
            routing_.noteFailure();
        }
        *failed = true;
        failures_.reportFailure(QStringLiteral("reading an account"), routing_.lastError());
        return {};
    }
    failures_.reportRecovery(QStringLiteral("reading an account"));
    LogOnRecord record;
    if (!q.next())
        return record;
    record.account = accountFrom(q);
    record.verifier = q.value(7).toByteArray();
    record.verifierKeyId = q.value(8).toByteArray();
    record.verifierMade = q.value(9).toLongLong();
    record.originSeen = q.value(10).toLongLong();
    return record;
}

QList<Account> Accounts::accounts()
{
    QList<Account> result;
    QSqlQuery q(routing_.db());
    if (!q.exec(QStringLiteral("SELECT %1 FROM accounts a ORDER BY a.level, a.name")
                    .arg(QLatin1String(kAccountColumns)))) {
        routing_.setLastError(q.lastError().text());
        return result;
    }
    while (q.next())
        result.append(accountFrom(q));
    return result;
}

QByteArray Accounts::derive(const QByteArray& salt, const QByteArray& password,
                            int iterations) const
{
    return crypto::pbkdf2Sha256(password, salt, iterations);
}

bool Accounts::passwordMatches(const std::optional<Account>& account,
                               const QByteArray& password) const
{
    if (!account) {
        // An unknown name costs what a known one does, so timing does not tell which exist.
        (void)derive(QByteArrayLiteral("no such account"), password, kdfIterations_);
        return false;
    }
    // A hash of fewer rounds (or of the old kind) is padded to what a new one costs, so an old
    // account answers no sooner than an unknown name.
    if (account->iterations < kdfIterations_)
        (void)derive(QByteArrayLiteral("padding"), password,
                     kdfIterations_ - std::max(account->iterations, 0));
    if (account->hash.isEmpty())
        return false;
    const QByteArray computed = account->iterations > 0
                                    ? derive(account->salt, password, account->iterations)
                                    : oldHash(account->salt, password);
    return crypto::sameBytes(computed, account->hash);
}

bool Accounts::hashIsOutdated(const Account& account) const
{
    return account.iterations < kdfIterations_;
}

StoreResult Accounts::rehashPassword(const QString& name, const QByteArray& password)
{
    return storeHash(normalizeUserName(name), password);
}

StoreResult Accounts::storeHash(const QString& name, const QByteArray& password)
{
    return storePasswordHash(name, hashPassword(password));
}

PasswordHash Accounts::hashPassword(const QByteArray& password) const
{
    PasswordHash h;
    h.salt = newSalt();
    h.iterations = kdfIterations_;
    h.hash = derive(h.salt, password, h.iterations);
    return h;
}

StoreResult Accounts::storePasswordHash(const QString& rawName, const PasswordHash& h,
                                        const QByteArray& replacedSalt)
{
    const QString name = normalizeUserName(rawName);
    if (!routing_.usable())
        return StoreResult::Failed;
    QSqlQuery q(routing_.db());
    // A password stored here makes an account of the directory a local one.
    q.prepare(replacedSalt.isNull()
                  ? QStringLiteral("UPDATE accounts SET salt = ?, hash = ?, iterations = ?, "
                                   "directory = 0 WHERE name = ?")
                  : QStringLiteral("UPDATE accounts SET salt = ?, hash = ?, iterations = ?, "
                                   "directory = 0 WHERE name = ? AND salt = ?"));
    q.addBindValue(h.salt);
    q.addBindValue(h.hash);
    q.addBindValue(h.iterations);
    q.addBindValue(name);
    if (!replacedSalt.isNull())
        q.addBindValue(replacedSalt);
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        routing_.noteFailure();
        return StoreResult::Failed;
    }
    if (q.numRowsAffected() == 0 && !replacedSalt.isNull())
        return StoreResult::NoSuchUser;
    dropVerifier(name);
    return StoreResult::Ok;
}

void Accounts::dropVerifier(const QString& name)
{
    // One that stays (this fails) matches nothing: it was made with the old salt and level.
    QSqlQuery q(routing_.db());
    q.prepare(QStringLiteral("DELETE FROM verifiers WHERE name = ?"));
    q.addBindValue(name);
    if (!q.exec())
        routing_.setLastError(q.lastError().text());
}

bool Accounts::supervisorIsValid(const QString& supervisor)
{
    const std::optional<Account> boss = account(supervisor);
    return boss && boss->level == 2;
}

StoreResult Accounts::addUser(const QString& rawName, const QString& password, int level,
                              const QString& rawSupervisor)
{
    const QString name = normalizeUserName(rawName);
    const QString supervisor = normalizeUserName(rawSupervisor);
    if (!isValidUserName(name))
        return StoreResult::BadName;
    if (!isValidLevel(level))
        return StoreResult::BadLevel;
    if (!passwordProblem(password).isEmpty())
        return StoreResult::BadPassword;
    if (!supervisor.isEmpty() && (level != 3 || !supervisorIsValid(supervisor)))
        return StoreResult::BadSupervisor;
    if (account(name))
        return StoreResult::Exists;
    const QByteArray salt = newSalt();
    QSqlQuery q(routing_.db());
    q.prepare(QStringLiteral("INSERT INTO accounts(name, level, supervisor, salt, hash, "
                             "iterations) VALUES(?, ?, ?, ?, ?, ?)"));
    q.addBindValue(name);
    q.addBindValue(level);
    q.addBindValue(supervisor.isEmpty() ? QStringLiteral("") : supervisor); // never NULL
    q.addBindValue(salt);
    q.addBindValue(derive(salt, toWire(password), kdfIterations_));
    q.addBindValue(kdfIterations_);
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
}

StoreResult Accounts::setPassword(const QString& rawName, const QString& password)
{
    const QString name = normalizeUserName(rawName);
    if (!passwordProblem(password).isEmpty())
        return StoreResult::BadPassword;
    if (!account(name))
        return StoreResult::NoSuchUser;
    return storeHash(name, toWire(password));
}

StoreResult Accounts::setLevel(const QString& rawName, int level, const QString& rawSupervisor)
{
    const QString name = normalizeUserName(rawName);
    const QString supervisor = normalizeUserName(rawSupervisor);
    if (!isValidLevel(level))
        return StoreResult::BadLevel;
    const std::optional<Account> existing = account(name);
    if (!existing)
        return StoreResult::NoSuchUser;
    if (existing->directory)
        return StoreResult::InDirectory;
    if (!supervisor.isEmpty() &&
        (level != 3 || supervisor == name || !supervisorIsValid(supervisor)))
        return StoreResult::BadSupervisor;
    QSqlQuery q(routing_.db());
    q.prepare(QStringLiteral("UPDATE accounts SET level = ?, supervisor = ? WHERE name = ?"));
    q.addBindValue(level);
    q.addBindValue(supervisor.isEmpty() ? QStringLiteral("") : supervisor); // never NULL
    q.addBindValue(name);
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        return StoreResult::Failed;
    }
    dropVerifier(name);
    return StoreResult::Ok;
}

StoreResult Accounts::keepDirectoryAccount(Account& a, std::optional<Account>* before)
{
    const QString name = normalizeUserName(a.name);
    if (!isValidUserName(name))
        return StoreResult::BadName;
    if (!isValidLevel(a.level))
        return StoreResult::BadLevel;
    if (!routing_.usable())
        return StoreResult::Failed;
    bool failed = false;
    *before = account(name, &failed);
    if (failed)
        return StoreResult::Failed;
    QSqlQuery q(routing_.db());
    a.salt = *before ? (*before)->salt : newSalt();
    a.hash.clear();
    a.iterations = 0;
    if (!*before) {
        // Added by another node meanwhile, the row stays as that one made it.
        q.prepare(routing_.postgres()
                      ? QStringLiteral("INSERT INTO accounts(name, level, supervisor, salt, hash, "
                                       "iterations, directory) VALUES(?, ?, ?, ?, ?, 0, 1) ON "
                                       "CONFLICT(name) DO NOTHING")
                      : QStringLiteral("INSERT OR IGNORE INTO accounts(name, level, supervisor, "
                                       "salt, hash, iterations, directory) VALUES(?, ?, ?, ?, ?, "
                                       "0, 1)"));
        q.addBindValue(name);
        q.addBindValue(a.level);
        q.addBindValue(a.supervisor.isEmpty() ? QStringLiteral("") : a.supervisor);
        q.addBindValue(a.salt);
        q.addBindValue(QByteArray(""));
    } else if (!(*before)->directory) {
        return StoreResult::Exists;
    } else if ((*before)->level == a.level && (*before)->supervisor == a.supervisor) {
        return StoreResult::Ok; // nothing new: no write
    } else {
        q.prepare(QStringLiteral("UPDATE accounts SET level = ?, supervisor = ? WHERE name = ? "
                                 "AND directory = 1"));
        q.addBindValue(a.level);
        q.addBindValue(a.supervisor.isEmpty() ? QStringLiteral("") : a.supervisor);
        q.addBindValue(name);
    }
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        routing_.noteFailure();
        return StoreResult::Failed;
    }
    if (*before)
        dropVerifier(name);
    return StoreResult::Ok;
}

StoreResult Accounts::useDirectory(const QString& rawName)
{
    const QString name = normalizeUserName(rawName);
    if (!account(name))
        return StoreResult::NoSuchUser;
    QSqlQuery q(routing_.db());
    q.prepare(QStringLiteral("UPDATE accounts SET salt = ?, hash = ?, iterations = 0, directory = "
                             "1 WHERE name = ?"));
    q.addBindValue(newSalt());
    q.addBindValue(QByteArray(""));
    q.addBindValue(name);
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        return StoreResult::Failed;
    }
    dropVerifier(name);
    return StoreResult::Ok;
}

StoreResult Accounts::renewDirectorySalt(const QString& rawName, QByteArray* salt)
{
    const QString name = normalizeUserName(rawName);
    if (!routing_.usable())
        return StoreResult::Failed;
    *salt = newSalt();
    QSqlQuery q(routing_.db());
    q.prepare(QStringLiteral("UPDATE accounts SET salt = ? WHERE name = ? AND directory = 1"));
    q.addBindValue(*salt);
    q.addBindValue(name);
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        routing_.noteFailure();
        return StoreResult::Failed;
    }
    if (q.numRowsAffected() == 0)
        return StoreResult::NoSuchUser;
    dropVerifier(name);
    return StoreResult::Ok;
}

QString Accounts::minimumVersion(bool* failed)
{
    const bool usable = routing_.usable();
    QSqlQuery q(routing_.db());
    if (usable)
        q.prepare(QStringLiteral("SELECT value FROM settings WHERE key = 'min_version'"));
    if (!usable || !q.exec()) {
        if (usable) {
            routing_.setLastError(q.lastError().text());
            routing_.noteFailure();
        }
        if (failed) {
            *failed = true;
            failures_.reportFailure(QStringLiteral("reading the minimum version"),
                                    routing_.lastError());
        }
        return {};
    }
    if (failed)
        failures_.reportRecovery(QStringLiteral("reading the minimum version"));
    if (!q.next())
        return {};
    return q.value(0).toString();
}

StoreResult Accounts::setMinimumVersion(const QString& version)
{
    if (!parseVersion(version, nullptr))
        return StoreResult::BadVersion;
    QSqlQuery q(routing_.db());
    q.prepare(routing_.postgres()
                  ? QStringLiteral("INSERT INTO settings(key, value) VALUES('min_version', "
                                   "?) ON CONFLICT(key) DO UPDATE SET value = "
                                   "EXCLUDED.value")
                  : QStringLiteral("INSERT OR REPLACE INTO settings(key, value) "
                                   "VALUES('min_version', ?)"));
    q.addBindValue(version.trimmed());
    if (!q.exec()) {
        routing_.setLastError(q.lastError().text());
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
}

QSet<QByteArray> Accounts::knownNames(const QList<QByteArray>& names, bool* failed)
{
    QSet<QByteArray> known;
    constexpr qsizetype kChunk = 500;
    for (qsizetype from = 0; from < names.size(); from += kChunk) {
        const QList<QByteArray> chunk = names.mid(from, kChunk);
        QString sql = QStringLiteral("SELECT name FROM accounts WHERE name IN (?");
        for (qsizetype i = 1; i < chunk.size(); ++i)
            sql += QStringLiteral(", ?");
        sql += QLatin1Char(')');
        const bool usable = routing_.usable();
        QSqlQuery q(routing_.db());
        if (usable) {
            q.prepare(sql);
            for (const QByteArray& name : chunk)
                q.addBindValue(fromWire(name));
        }
        if (!usable || !q.exec()) {
            if (usable) {
                routing_.setLastError(q.lastError().text());
                routing_.noteFailure();
            }
            if (failed) {
                *failed = true;
                failures_.reportFailure(QStringLiteral("looking up recipients"),
                                        routing_.lastError());
                return {};
            }
            continue;
        }
        if (failed)
            failures_.reportRecovery(QStringLiteral("looking up recipients"));
        while (q.next())
            known.insert(toWire(q.value(0).toString()));
    }
    return known;
}

} // namespace wispline::server
