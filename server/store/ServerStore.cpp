#include "store/ServerStore.h"
#include "store/StoreBackup.h"

#include "base/ServerLog.h"
#include "base/ServerMetrics.h"

#include "base/ServerRules.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QTimer>
#include <QVariant>

namespace wispline::server
{
namespace
{

// Writes that fail (the file is locked by an admin command, the disk is full) are kept and
// retried, never given up; beyond this many bytes waiting the server stops reading its clients.
constexpr qint64 kMaxPendingBytes = 64 * 1024 * 1024;
constexpr int kRetryMs = 1000;
// A storage failure goes to the log at most this often, with a count of the others.
constexpr qint64 kFailureLogMs = 10000;
// A failed read not repeated for this long counts as mended.
constexpr qint64 kReadFailureFreshMs = 3000;
// The longest a statement may run: on the routing connection, and on the others.
constexpr int kRoutingStatementMs = 5000;
constexpr int kStatementMs = 15000;
// The write-ahead log is cut back to this size after each checkpoint.
constexpr int kJournalSizeLimit = 64 * 1024 * 1024;

// The same durability on every connection: each commit synced (offline messages, accounts and
// passwords have no other copy), checkpoints by the storage thread's timer only.
bool applyPragmas(QSqlDatabase& db)
{
    QSqlQuery q(db);
    return q.exec(QStringLiteral("PRAGMA synchronous=FULL")) &&
           q.exec(QStringLiteral("PRAGMA wal_autocheckpoint=0")) &&
           q.exec(QStringLiteral("PRAGMA journal_size_limit=%1").arg(kJournalSizeLimit));
}

// What a pending write holds, near enough, counted without converting anything.
qint64 bytesOf(const QString& a, const QString& b)
{
    return 64 + 2 * (a.size() + b.size());
}
qint64 bytesOf(const QByteArray& a, const QByteArray& b)
{
    return 64 + a.size() + b.size();
}
constexpr int kCheckpointMs = 10000;
// Serialises the schema creation of nodes starting together on one PostgreSQL database.
constexpr int kSchemaLockKey = 0x5749;

// A LIMIT value: SQLite takes -1 for none, PostgreSQL NULL.
QVariant limitValue(int limit, bool postgres)
{
    if (limit < 0 && postgres)
        return QVariant(QMetaType::fromType<qint64>());
    return QVariant(limit);
}

// The hash of accounts stored before key derivation; still read until their next log-on.
QByteArray oldHash(const QByteArray& salt, const QByteArray& password)
{
    return QCryptographicHash::hash(salt + password, QCryptographicHash::Sha256);
}

// Takes the same time wherever the two differ.
bool sameBytes(const QByteArray& a, const QByteArray& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

QByteArray newSalt()
{
    QByteArray salt(16, Qt::Uninitialized);
    QRandomGenerator* random = QRandomGenerator::system();
    for (char& c : salt)
        c = char(random->bounded(256));
    return salt;
}

Account accountFrom(const QSqlQuery& q)
{
    Account a;
    a.name = q.value(0).toString();
    a.level = q.value(1).toInt();
    a.supervisor = q.value(2).toString();
    a.salt = q.value(3).toByteArray();
    a.hash = q.value(4).toByteArray();
    a.iterations = q.value(5).toInt();
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
    case StoreResult::Failed:
        return QStringLiteral("the database refused the change");
    }
    return {};
}

ServerStore::ServerStore(QObject* parent) : QObject(parent)
{
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, [this] {
        if (!flushOwn())
            flushTimer_.start(kRetryMs);
    });
    failureClock_.start();
    static int counter = 0;
    connectionName_ = QStringLiteral("wispline-server-%1").arg(++counter);
}

ServerStore::~ServerStore()
{
    if (db_.isOpen())
        flush();
    stopStorage();
    insertMessage_.reset();
    insertOffline_.reset();
    if (db_.isValid()) {
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName_);
    }
}

bool ServerStore::isPostgresAddress(const QString& path)
{
    return path.startsWith(QLatin1String("postgresql://"), Qt::CaseInsensitive) ||
           path.startsWith(QLatin1String("postgres://"), Qt::CaseInsensitive);
}

QSqlDatabase ServerStore::addConnection(const QString& name, int busyMs) const
{
    if (!postgres_) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file_);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyMs));
        return db;
    }
    // No password here: libpq reads it from .pgpass, or the file PGPASSFILE names.
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
    db.setConnectOptions(postgresConnectOptions(
        pgAddress_, busyMs, busyMs <= kRoutingBusyMs ? kRoutingStatementMs : kStatementMs));
    return db;
}

bool ServerStore::open(const QString& path, QString* error)
{
    const auto fail = [&](const QString& why) {
        lastError_ = why;
        if (error)
            *error = lastError_;
        return false;
    };
    postgres_ = isPostgresAddress(path);
    if (postgres_) {
        QString why;
        if (!parsePostgresAddress(path, &pgAddress_, &why))
            return fail(why);
    } else {
        const QFileInfo info(path);
        QString why;
        if (!createPrivately(path, &why))
            return fail(why);
        file_ = info.absoluteFilePath();
    }
    db_ = addConnection(connectionName_, kRoutingBusyMs);
    if (!db_.open()) {
        lastError_ = db_.lastError().text();
        if (error)
            *error = lastError_;
        return false;
    }
    if (!ensureSchema()) {
        if (error)
            *error = lastError_;
        return false;
    }
    {
        QSqlQuery q(db_);
        if (q.exec(QStringLiteral("SELECT MAX(id) FROM messages")) && q.next())
            watermark_ = q.value(0).toLongLong();
    }
    prepareInserts();
    storageRunning_ = true;
    storage_ = std::thread([this] { runStorage(); });
    return true;
}

void ServerStore::prepareInserts()
{
    insertMessage_ = std::make_unique<QSqlQuery>(db_);
    insertMessage_->prepare(QStringLiteral("INSERT INTO messages(day, time, sender, recipient, "
                                           "body) VALUES(?, ?, ?, ?, ?)"));
    insertOffline_ = std::make_unique<QSqlQuery>(db_);
    insertOffline_->prepare(
        QStringLiteral("INSERT INTO offline(recipient, text, created) VALUES(?, ?, ?)"));
}

bool ServerStore::routingUsable()
{
    if (!routingLost_)
        return true;
    if (!reachable_.load()) {
        lastError_ = QStringLiteral("no connection to the database");
        return false;
    }
    insertMessage_.reset();
    insertOffline_.reset();
    if (!reopenConnection(db_, &lastError_)) {
        markUnreachable();
        return false;
    }
    prepareInserts();
    routingLost_ = false;
    logLine(QStringLiteral("storage: routing connection to the database opened again"));
    return true;
}

void ServerStore::noteRoutingFailure()
{
    if (routingLost_ || !connectionLost(db_, postgres_))
        return;
    routingLost_ = true;
    markUnreachable();
}

void ServerStore::markUnreachable()
{
    {
        const std::lock_guard<std::mutex> lock(storageMutex_);
        reachable_ = false;
    }
    storageWake_.notify_all();
}

bool ServerStore::exec(const QString& sql)
{
    QSqlQuery q(db_);
    if (!q.exec(sql)) {
        lastError_ = q.lastError().text();
        return false;
    }
    return true;
}

bool ServerStore::ensureSchema()
{
    if (postgres_) {
        // Nodes starting together would race on CREATE ... IF NOT EXISTS: one at a time.
        if (!db_.transaction()) {
            lastError_ = db_.lastError().text();
            return false;
        }
        // CREATE ... IF NOT EXISTS notices are expected on every start but the first.
        const bool created =
            exec(QStringLiteral("SET client_min_messages TO warning")) &&
            exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kSchemaLockKey)) &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS accounts(name TEXT PRIMARY KEY, "
                                "level INTEGER NOT NULL, supervisor TEXT NOT NULL DEFAULT '', "
                                "salt BYTEA NOT NULL, hash BYTEA NOT NULL, iterations INTEGER "
                                "NOT NULL DEFAULT 0)")) &&
            exec(QStringLiteral(
                "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT)")) &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS messages(id BIGSERIAL PRIMARY KEY, "
                                "day TEXT NOT NULL, time TEXT NOT NULL, sender TEXT NOT NULL, "
                                "recipient TEXT NOT NULL, body TEXT NOT NULL)")) &&
            exec(QStringLiteral("CREATE INDEX IF NOT EXISTS messages_day ON messages(day)")) &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS offline(id BIGSERIAL PRIMARY KEY, "
                                "recipient TEXT NOT NULL, text TEXT NOT NULL, created TEXT)")) &&
            exec(QStringLiteral(
                "CREATE INDEX IF NOT EXISTS offline_recipient ON offline(recipient)")) &&
            // Several nodes on one database: each heart-beats in nodes, says who is connected
            // to it in presence, and receives what other nodes route to its users in inbox.
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS nodes(id TEXT PRIMARY KEY, seen "
                                "TIMESTAMPTZ NOT NULL)")) &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS presence(name TEXT PRIMARY KEY, "
                                "node TEXT NOT NULL, level INTEGER NOT NULL)")) &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS inbox(id BIGSERIAL PRIMARY KEY, "
                                "node TEXT NOT NULL, kind TEXT NOT NULL, recipient TEXT NOT "
                                "NULL, text TEXT NOT NULL, created TEXT NOT NULL)")) &&
            exec(QStringLiteral("CREATE INDEX IF NOT EXISTS inbox_node ON inbox(node, id)")) &&
            exec(QStringLiteral("CREATE TABLE IF NOT EXISTS set_aside(id BIGSERIAL PRIMARY KEY, "
                                "kind TEXT NOT NULL, error TEXT NOT NULL, data TEXT NOT NULL)"));
        if (!created || !db_.commit()) {
            if (created)
                lastError_ = db_.lastError().text();
            db_.rollback();
            return false;
        }
        return true;
    }
    // WAL lets the admin commands read and write while the server runs. Checkpoints (and their disk
    // syncs) run on a timer instead of whenever the log fills, so they do not stall message routing
    // every few hundred commits.
    const bool created =
        exec(QStringLiteral("PRAGMA journal_mode=WAL")) && applyPragmas(db_) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS accounts(name TEXT PRIMARY KEY, "
                            "level INTEGER NOT NULL, supervisor TEXT NOT NULL DEFAULT '', "
                            "salt BLOB NOT NULL, hash BLOB NOT NULL, iterations INTEGER NOT "
                            "NULL DEFAULT 0)")) &&
        exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY, "
                            "day TEXT NOT NULL, time TEXT NOT NULL, sender TEXT NOT NULL, "
                            "recipient TEXT NOT NULL, body TEXT NOT NULL)")) &&
        // Only the day is indexed: it grows in step with the row id, so an insert touches
        // the last pages alone. Indexes by user would rewrite pages all over the file on
        // every commit (measured: a third more server CPU per delivery); a day download walks
        // the day's rows once instead, on a thread of its own.
        exec(QStringLiteral("CREATE INDEX IF NOT EXISTS messages_day ON messages(day)")) &&
        exec(QStringLiteral("CREATE TABLE IF NOT EXISTS offline(id INTEGER PRIMARY KEY "
                            "AUTOINCREMENT, recipient TEXT NOT NULL, text TEXT NOT NULL, created "
                            "TEXT)")) &&
        offlineIdsNeverReused() &&
        exec(
            QStringLiteral("CREATE INDEX IF NOT EXISTS offline_recipient ON offline(recipient)")) &&
        exec(
            QStringLiteral("CREATE TABLE IF NOT EXISTS set_aside(id INTEGER PRIMARY KEY, kind TEXT "
                           "NOT NULL, error TEXT NOT NULL, data TEXT NOT NULL)"));
    if (!created)
        return false;
    // Databases from before key derivation lack the round count; their hashes count as old.
    QSqlQuery q(db_);
    if (q.exec(QStringLiteral("SELECT iterations FROM accounts LIMIT 0")))
        return true;
    return exec(
        QStringLiteral("ALTER TABLE accounts ADD COLUMN iterations INTEGER NOT NULL DEFAULT 0"));
}

bool ServerStore::offlineIdsNeverReused()
{
    // Files from before took the ids of removed rows again: their queue moves, ids and all, to
    // a table that never does.
    {
        QSqlQuery q(db_);
        if (!q.exec(QStringLiteral(
                "SELECT sql FROM sqlite_master WHERE type = 'table' AND name = 'offline'")) ||
            !q.next()) {
            lastError_ = q.lastError().text();
            return false;
        }
        if (q.value(0).toString().contains(QLatin1String("AUTOINCREMENT"), Qt::CaseInsensitive))
            return true;
    }
    const bool moved =
        db_.transaction() &&
        exec(QStringLiteral("CREATE TABLE offline_new(id INTEGER PRIMARY KEY AUTOINCREMENT, "
                            "recipient TEXT NOT NULL, text TEXT NOT NULL, created TEXT)")) &&
        exec(QStringLiteral("INSERT INTO offline_new(id, recipient, text, created) SELECT id, "
                            "recipient, text, created FROM offline ORDER BY id")) &&
        exec(QStringLiteral("DROP TABLE offline")) &&
        exec(QStringLiteral("ALTER TABLE offline_new RENAME TO offline")) && db_.commit();
    if (!moved)
        db_.rollback();
    return moved;
}

std::optional<Account> ServerStore::account(const QString& name, bool* failed)
{
    const bool usable = routingUsable();
    QSqlQuery q(db_);
    if (usable) {
        q.prepare(QStringLiteral(
            "SELECT name, level, supervisor, salt, hash, iterations FROM accounts WHERE name = ?"));
        q.addBindValue(normalizeUserName(name));
    }
    if (!usable || !q.exec()) {
        if (usable) {
            lastError_ = q.lastError().text();
            noteRoutingFailure();
        }
        if (failed) {
            *failed = true;
            reportFailure(QStringLiteral("reading an account"), lastError_);
        }
        return std::nullopt;
    }
    if (failed)
        reportRecovery(QStringLiteral("reading an account"));
    if (!q.next())
        return std::nullopt;
    return accountFrom(q);
}

QList<Account> ServerStore::accounts()
{
    QList<Account> result;
    QSqlQuery q(db_);
    if (!q.exec(QStringLiteral(
            "SELECT name, level, supervisor, salt, hash, iterations FROM accounts ORDER BY level, "
            "name"))) {
        lastError_ = q.lastError().text();
        return result;
    }
    while (q.next())
        result.append(accountFrom(q));
    return result;
}

QByteArray ServerStore::derive(const QByteArray& salt, const QByteArray& password,
                               int iterations) const
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, password, salt,
                                              iterations, 32);
}

bool ServerStore::passwordMatches(const std::optional<Account>& account,
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
    return sameBytes(computed, account->hash);
}

bool ServerStore::hashIsOutdated(const Account& account) const
{
    return account.iterations < kdfIterations_;
}

StoreResult ServerStore::rehashPassword(const QString& name, const QByteArray& password)
{
    return storeHash(normalizeUserName(name), password);
}

StoreResult ServerStore::storeHash(const QString& name, const QByteArray& password)
{
    return storePasswordHash(name, hashPassword(password));
}

PasswordHash ServerStore::hashPassword(const QByteArray& password) const
{
    PasswordHash h;
    h.salt = newSalt();
    h.iterations = kdfIterations_;
    h.hash = derive(h.salt, password, h.iterations);
    return h;
}

StoreResult ServerStore::storePasswordHash(const QString& rawName, const PasswordHash& h,
                                           const QByteArray& replacedSalt)
{
    const QString name = normalizeUserName(rawName);
    if (!routingUsable())
        return StoreResult::Failed;
    QSqlQuery q(db_);
    q.prepare(replacedSalt.isNull() ? QStringLiteral("UPDATE accounts SET salt = ?, hash = ?, "
                                                     "iterations = ? WHERE name = ?")
                                    : QStringLiteral("UPDATE accounts SET salt = ?, hash = ?, "
                                                     "iterations = ? WHERE name = ? AND salt = ?"));
    q.addBindValue(h.salt);
    q.addBindValue(h.hash);
    q.addBindValue(h.iterations);
    q.addBindValue(name);
    if (!replacedSalt.isNull())
        q.addBindValue(replacedSalt);
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        noteRoutingFailure();
        return StoreResult::Failed;
    }
    return q.numRowsAffected() > 0 || replacedSalt.isNull() ? StoreResult::Ok
                                                            : StoreResult::NoSuchUser;
}

bool ServerStore::supervisorIsValid(const QString& supervisor)
{
    const std::optional<Account> boss = account(supervisor);
    return boss && boss->level == 2;
}

StoreResult ServerStore::addUser(const QString& rawName, const QString& password, int level,
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
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("INSERT INTO accounts(name, level, supervisor, salt, hash, "
                             "iterations) VALUES(?, ?, ?, ?, ?, ?)"));
    q.addBindValue(name);
    q.addBindValue(level);
    q.addBindValue(supervisor.isEmpty() ? QStringLiteral("") : supervisor); // never NULL
    q.addBindValue(salt);
    q.addBindValue(derive(salt, toWire(password), kdfIterations_));
    q.addBindValue(kdfIterations_);
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
}

StoreResult ServerStore::setPassword(const QString& rawName, const QString& password)
{
    const QString name = normalizeUserName(rawName);
    if (!passwordProblem(password).isEmpty())
        return StoreResult::BadPassword;
    if (!account(name))
        return StoreResult::NoSuchUser;
    return storeHash(name, toWire(password));
}

StoreResult ServerStore::setLevel(const QString& rawName, int level, const QString& rawSupervisor)
{
    const QString name = normalizeUserName(rawName);
    const QString supervisor = normalizeUserName(rawSupervisor);
    if (!isValidLevel(level))
        return StoreResult::BadLevel;
    if (!account(name))
        return StoreResult::NoSuchUser;
    if (!supervisor.isEmpty() &&
        (level != 3 || supervisor == name || !supervisorIsValid(supervisor)))
        return StoreResult::BadSupervisor;
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("UPDATE accounts SET level = ?, supervisor = ? WHERE name = ?"));
    q.addBindValue(level);
    q.addBindValue(supervisor.isEmpty() ? QStringLiteral("") : supervisor); // never NULL
    q.addBindValue(name);
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
}

QString ServerStore::minimumVersion(bool* failed)
{
    const bool usable = routingUsable();
    QSqlQuery q(db_);
    if (usable)
        q.prepare(QStringLiteral("SELECT value FROM settings WHERE key = 'min_version'"));
    if (!usable || !q.exec()) {
        if (usable) {
            lastError_ = q.lastError().text();
            noteRoutingFailure();
        }
        if (failed) {
            *failed = true;
            reportFailure(QStringLiteral("reading the minimum version"), lastError_);
        }
        return {};
    }
    if (failed)
        reportRecovery(QStringLiteral("reading the minimum version"));
    if (!q.next())
        return {};
    return q.value(0).toString();
}

StoreResult ServerStore::setMinimumVersion(const QString& version)
{
    if (!parseVersion(version, nullptr))
        return StoreResult::BadVersion;
    QSqlQuery q(db_);
    q.prepare(postgres_ ? QStringLiteral("INSERT INTO settings(key, value) VALUES('min_version', "
                                         "?) ON CONFLICT(key) DO UPDATE SET value = "
                                         "EXCLUDED.value")
                        : QStringLiteral("INSERT OR REPLACE INTO settings(key, value) "
                                         "VALUES('min_version', ?)"));
    q.addBindValue(version.trimmed());
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
}

void ServerStore::recordMessage(const QString& day, const QString& time, const QByteArray& sender,
                                const QByteArray& recipient, const QByteArray& body,
                                bool withOffline)
{
    if (!withOffline) {
        const std::lock_guard<std::mutex> lock(storageMutex_);
        if (storageRunning_) {
            const bool first = records_.empty();
            recordBytes_ += bytesOf(recipient, body);
            records_.push_back({day, time, sender, recipient, body});
            ++recorded_;
            if (first)
                storageWake_.notify_one();
            return;
        }
    }
    PendingWrite w;
    w.day = day;
    w.time = time;
    w.sender = fromWire(sender);
    w.recipient = fromWire(recipient);
    w.text = fromWire(body);
    pendingBytes_ += bytesOf(w.recipient, w.text);
    pending_.push_back(std::move(w));
    scheduleFlush();
}

void ServerStore::queueOffline(const QString& created, const QByteArray& recipient,
                               const QByteArray& displayText, bool commitNow)
{
    PendingWrite w;
    w.offline = true;
    w.created = created;
    w.recipient = fromWire(recipient);
    w.text = fromWire(displayText);
    pendingBytes_ += bytesOf(w.recipient, w.text);
    pending_.push_back(std::move(w));
    // Nobody else holds this message until its recipient logs on: commit it at once. It is
    // rare next to deliveries to connected users, so the batching loses nothing here.
    if (!commitNow || !flushOffline())
        scheduleFlush();
}

bool ServerStore::flushOffline()
{
    // While the store fails, the retry timer tries: routing does not wait on it each time.
    if (failing_) {
        scheduleFlush();
        return false;
    }
    return flushOwn();
}

bool ServerStore::congested() const
{
    return pendingBytes_ + recordBytes_.load() > kMaxPendingBytes;
}

qint64 ServerStore::queuedRows()
{
    const std::lock_guard<std::mutex> lock(storageMutex_);
    return qint64(pending_.size() + (recorded_ - committed_));
}

qint64 ServerStore::failingForMs() const
{
    return failing_ ? failureClock_.elapsed() - failingSince_ : 0;
}

void ServerStore::reportFailure(const QString& what, const QString& error)
{
    if (!failing_)
        failingSince_ = failureClock_.elapsed();
    failingKinds_.insert(what);
    lastFailureAt_.insert(what, failureClock_.elapsed());
    failing_ = true;
    const auto logged = failureLoggedAt_.constFind(what);
    if (logged != failureLoggedAt_.cend() &&
        failureClock_.elapsed() - logged.value() < kFailureLogMs) {
        ++failuresUnlogged_;
        return;
    }
    const QString more =
        failuresUnlogged_ > 0
            ? QStringLiteral(" (%1 more failure(s) since the last line)").arg(failuresUnlogged_)
            : QString();
    logLine(
        QStringLiteral("storage: %1 failed: %2; kept and tried again%3").arg(what, error, more));
    failureLoggedAt_.insert(what, failureClock_.elapsed());
    failuresUnlogged_ = 0;
}

void ServerStore::forgetFailedReads()
{
    // A read that failed leaves nothing waiting: unless it keeps failing (what waits on it is
    // tried again every second) it counts as mended, or a quiet node whose waiting client left
    // would stay "failing" and leave for nothing.
    if (!failing_)
        return;
    for (const char* read :
         {"reading an account", "reading the minimum version", "looking up recipients"}) {
        const QString what = QString::fromLatin1(read);
        const auto last = lastFailureAt_.constFind(what);
        if (last != lastFailureAt_.cend() &&
            failureClock_.elapsed() - last.value() > kReadFailureFreshMs)
            reportRecovery(what);
    }
}

void ServerStore::reportRecovery(const QString& what)
{
    // Working again only once every kind of work that failed has: a read that succeeds says
    // nothing of writes still kept in memory.
    if (!failingKinds_.remove(what))
        return;
    failureLoggedAt_.remove(what);
    lastFailureAt_.remove(what);
    if (!failingKinds_.isEmpty())
        return;
    failing_ = false;
    logLine(QStringLiteral("storage: working again after %1 more failure(s); nothing was lost")
                .arg(failuresUnlogged_));
    failuresUnlogged_ = 0;
}

void ServerStore::scheduleFlush()
{
    if (!flushTimer_.isActive())
        flushTimer_.start(commitDelayMs_);
}

void ServerStore::runStorage()
{
    const QString name = connectionName_ + QStringLiteral("-storage");
    {
        QSqlDatabase db = addConnection(name);
        const bool opened = db.open() && (postgres_ || applyPragmas(db));
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral("INSERT INTO messages(day, time, sender, recipient, body) "
                                      "VALUES(?, ?, ?, ?, ?)"));
        using Clock = std::chrono::steady_clock;
        auto nextCheckpoint = Clock::now() + std::chrono::milliseconds(kCheckpointMs);
        bool lastFailed = false;
        Backoff backoff;
        std::unique_lock<std::mutex> lock(storageMutex_);
        if (!opened) {
            storageError_ = db.lastError().text();
            storageRunning_ = false; // records stay on the caller's connection
        }
        while (storageRunning_) {
            storageWake_.wait_until(lock, nextCheckpoint, [this] {
                return storageStop_ || flushWanted_ || !records_.empty() || !reachable_;
            });
            if (!reachable_ && !storageStop_) {
                // A connection was lost: this thread reaches the database again, with pauses
                // growing to a few seconds, and the routing thread reopens its own only then.
                lock.unlock();
                QString error;
                bool up = !connectionLost(db, postgres_);
                if (!up) {
                    insert.clear();
                    up = reopenConnection(db, &error);
                    insert = QSqlQuery(db);
                    if (up)
                        insert.prepare(QStringLiteral(
                            "INSERT INTO messages(day, time, sender, recipient, body) "
                            "VALUES(?, ?, ?, ?, ?)"));
                }
                lock.lock();
                const QString what = QStringLiteral("reaching the database");
                if (up) {
                    reachable_ = true;
                    backoff.reset();
                    // The routing connection most likely went the same way: it opens again
                    // at its next use rather than failing it first.
                    QMetaObject::invokeMethod(
                        this,
                        [this, what] {
                            if (!routingLost_ && connectionLost(db_, postgres_))
                                routingLost_ = true;
                            reportRecovery(what);
                            // What waited for the database is written now, not at the next try.
                            if (!pending_.empty())
                                flushTimer_.start(0);
                        },
                        Qt::QueuedConnection);
                    continue;
                }
                QMetaObject::invokeMethod(
                    this, [this, what, error] { reportFailure(what, error); },
                    Qt::QueuedConnection);
                if (flushWanted_) {
                    failedUpTo_ = recorded_; // a flush does not wait for the database's return
                    storageError_ = error;
                    storageDone_.notify_all();
                }
                storageWake_.wait_for(lock, std::chrono::milliseconds(backoff.next()),
                                      [this] { return storageStop_ || flushWanted_; });
                continue;
            }
            if (!records_.empty()) {
                // A batch gathers for the commit delay, unless someone waits for it.
                storageWake_.wait_for(lock, std::chrono::milliseconds(commitDelayMs_.load()),
                                      [this] { return storageStop_ || flushWanted_ || hurry_; });
                hurry_ = false;
                std::vector<Record> batch;
                batch.swap(records_);
                const quint64 upTo = recorded_;
                lock.unlock();
                QString error;
                qint64 batchBytes = 0;
                for (const Record& r : batch)
                    batchBytes += bytesOf(r.recipient, r.body);
                const bool ok = commitRecords(db, insert, batch, &error);
                const bool lost = !ok && connectionLost(db, postgres_);
                lock.lock();
                for (const Record& r : batch)
                    batchBytes -= bytesOf(r.recipient, r.body); // what was written
                recordBytes_ -= batchBytes;
                if (lost)
                    reachable_ = false;
                if (ok) {
                    committed_ = upTo;
                    written_ = true;
                    raiseWatermark(insert.lastInsertId().toLongLong());
                } else {
                    // Kept, ahead of what came meanwhile, and tried again after a pause.
                    batch.insert(batch.end(), std::make_move_iterator(records_.begin()),
                                 std::make_move_iterator(records_.end()));
                    records_.swap(batch);
                    failedUpTo_ = upTo;
                    storageError_ = error;
                }
                // Reported on the routing thread, which alone logs.
                if (!ok || lastFailed)
                    QMetaObject::invokeMethod(
                        this,
                        [this, ok, error] {
                            if (ok)
                                reportRecovery(QStringLiteral("saving delivered messages"));
                            else
                                reportFailure(QStringLiteral("saving delivered messages"), error);
                        },
                        Qt::QueuedConnection);
                lastFailed = !ok;
                storageDone_.notify_all();
                if (!waiters_.empty())
                    QMetaObject::invokeMethod(
                        this, [this] { serveWaiters(); }, Qt::QueuedConnection);
                if (!ok && !lost && !storageStop_)
                    storageWake_.wait_for(lock, std::chrono::milliseconds(kRetryMs),
                                          [this] { return storageStop_; });
                if (!ok && storageStop_)
                    break; // the shutdown does not wait on a database that refuses
                continue;
            }
            if (storageStop_)
                break;
            if (flushWanted_) {
                committed_ = recorded_; // nothing waits
                storageDone_.notify_all();
                storageWake_.wait(
                    lock, [this] { return storageStop_ || !flushWanted_ || !records_.empty(); });
                continue;
            }
            // PostgreSQL checkpoints itself.
            if (!postgres_ && Clock::now() >= nextCheckpoint) {
                nextCheckpoint = Clock::now() + std::chrono::milliseconds(kCheckpointMs);
                if (written_.exchange(false)) {
                    lock.unlock();
                    QSqlQuery q(db);
                    if (!q.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)")))
                        written_ = true; // tried again next time
                    lock.lock();
                }
            }
        }
        storageRunning_ = false;
        storageDone_.notify_all();
        lock.unlock();
        insert.clear(); // a prepared statement is freed on its open connection
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
}

bool ServerStore::commitRecords(QSqlDatabase& db, QSqlQuery& insert, std::vector<Record>& records,
                                QString* error)
{
    QElapsedTimer took;
    took.start();
    const auto written = [&insert](const Record& r) {
        insert.bindValue(0, r.day);
        insert.bindValue(1, r.time);
        insert.bindValue(2, fromWire(r.sender));
        insert.bindValue(3, fromWire(r.recipient));
        insert.bindValue(4, fromWire(r.body));
        return insert.exec();
    };
    QSqlError failure;
    bool ok = db.transaction();
    if (!ok)
        failure = db.lastError();
    for (auto r = records.cbegin(); ok && r != records.cend(); ++r) {
        ok = written(*r);
        if (!ok)
            failure = insert.lastError();
    }
    if (ok && !db.commit()) {
        failure = db.lastError();
        ok = false;
    }
    if (ok) {
        records.clear();
        metrics::observeCommit(took.nsecsElapsed() / 1e9);
        return true;
    }
    db.rollback();
    *error = failure.text();
    if (!rowAtFault(failure, postgres_))
        return false;
    // A row the database cannot take must not hold up the rows behind it: one at a time, and a
    // row at fault is set aside.
    std::size_t done = 0;
    int setAsideRows = 0;
    int lost = 0;
    QString codes;
    for (; done < records.size(); ++done) {
        const Record& r = records[done];
        if (written(r))
            continue;
        failure = insert.lastError();
        if (!rowAtFault(failure, postgres_))
            break;
        ++(setAside(db, QStringLiteral("message"), failure,
                    {r.day, r.time, r.sender, r.recipient, r.body})
               ? setAsideRows
               : lost);
        codes = failure.nativeErrorCode();
    }
    records.erase(records.begin(), records.begin() + std::ptrdiff_t(done));
    if (setAsideRows + lost > 0)
        // Neither names nor text in the log: the error's code says what was wrong.
        QMetaObject::invokeMethod(
            this,
            [setAsideRows, lost, codes] {
                logLine(QStringLiteral("storage: %1 delivered message(s) could not be saved "
                                       "(error %2): %3 set aside in set_aside, %4 lost")
                            .arg(setAsideRows + lost)
                            .arg(codes)
                            .arg(setAsideRows)
                            .arg(lost));
            },
            Qt::QueuedConnection);
    if (!records.empty()) {
        *error = failure.text();
        return false;
    }
    metrics::observeCommit(took.nsecsElapsed() / 1e9);
    return true;
}

void ServerStore::stopStorage()
{
    if (!storage_.joinable())
        return;
    {
        const std::lock_guard<std::mutex> lock(storageMutex_);
        storageStop_ = true;
    }
    storageWake_.notify_all();
    storage_.join();
}

bool ServerStore::flush()
{
    bool ok = flushOwn();
    std::unique_lock<std::mutex> lock(storageMutex_);
    if (!storageRunning_ || committed_ >= recorded_)
        return ok;
    const quint64 upTo = recorded_;
    flushWanted_ = true;
    storageWake_.notify_all();
    storageDone_.wait(
        lock, [&] { return !storageRunning_ || committed_ >= upTo || failedUpTo_ >= upTo; });
    flushWanted_ = false;
    storageWake_.notify_all();
    if (committed_ < upTo) {
        lastError_ = storageError_;
        ok = false;
    }
    return ok;
}

void ServerStore::raiseWatermark(qint64 id)
{
    qint64 seen = watermark_.load();
    while (id > seen && !watermark_.compare_exchange_weak(seen, id)) {
    }
}

bool ServerStore::flushOwn()
{
    if (pending_.empty())
        return true;
    QElapsedTimer took;
    took.start();
    const QString what = QStringLiteral("saving offline messages");
    if (!routingUsable()) {
        reportFailure(what, lastError_);
        return false;
    }
    const auto bound = [this](const PendingWrite& w) -> QSqlQuery& {
        QSqlQuery& q = w.offline ? *insertOffline_ : *insertMessage_;
        if (w.offline) {
            q.bindValue(0, w.recipient);
            q.bindValue(1, w.text);
            q.bindValue(2, w.created);
        } else {
            q.bindValue(0, w.day);
            q.bindValue(1, w.time);
            q.bindValue(2, w.sender);
            q.bindValue(3, w.recipient);
            q.bindValue(4, w.text);
        }
        return q;
    };
    const auto written = [](QSqlQuery& q) { return q.exec() && q.numRowsAffected() == 1; };
    qint64 lastId = 0;
    QSqlError error;
    bool ok = db_.transaction();
    if (!ok)
        error = db_.lastError();
    for (auto w = pending_.cbegin(); ok && w != pending_.cend(); ++w) {
        QSqlQuery& q = bound(*w);
        ok = written(q);
        if (!ok)
            error = q.lastError();
        else if (!w->offline)
            lastId = q.lastInsertId().toLongLong();
    }
    if (ok && !db_.commit()) {
        error = db_.lastError();
        ok = false;
    }
    std::size_t done = ok ? pending_.size() : 0;
    if (!ok) {
        db_.rollback();
        // A row the database cannot take must not hold up the rows behind it: one at a time,
        // each committed alone, and a row at fault is set aside.
        const bool oneByOne = rowAtFault(error, postgres_);
        for (; oneByOne && done < pending_.size(); ++done) {
            QSqlQuery& q = bound(pending_[done]);
            if (written(q)) {
                if (!pending_[done].offline)
                    lastId = q.lastInsertId().toLongLong();
                continue;
            }
            error = q.lastError();
            if (!rowAtFault(error, postgres_))
                break;
            const PendingWrite& w = pending_[done];
            const bool kept = setAside(
                db_, w.offline ? QStringLiteral("offline") : QStringLiteral("message"), error,
                w.offline ? QVariantList{w.recipient, w.text, w.created}
                          : QVariantList{w.day, w.time, w.sender, w.recipient, w.text});
            // Neither names nor text: the error's code says what was wrong.
            logLine(
                QStringLiteral("storage: a message %1 could not be written (error %2) and "
                               "is %3")
                    .arg(w.offline ? QStringLiteral("kept for an offline user")
                                   : QStringLiteral("of the day"),
                         error.nativeErrorCode(),
                         kept ? QStringLiteral("set aside in set_aside") : QStringLiteral("lost")));
        }
    }
    metrics::observeCommit(took.nsecsElapsed() / 1e9);
    raiseWatermark(lastId);
    pending_.erase(pending_.begin(), pending_.begin() + std::ptrdiff_t(done));
    pendingBytes_ = 0;
    for (const PendingWrite& w : pending_)
        pendingBytes_ += bytesOf(w.recipient, w.text);
    if (done > 0)
        written_ = true;
    if (!pending_.empty()) {
        lastError_ = error.isValid() ? error.text() : QStringLiteral("a row was not inserted");
        noteRoutingFailure();
        reportFailure(what, lastError_);
        return false;
    }
    reportRecovery(what);
    return true;
}

QList<OfflineMessage> ServerStore::offlineBatch(const QByteArray& recipient, qint64 afterId,
                                                int limit, bool* failed)
{
    QList<OfflineMessage> batch;
    flushOwn();
    if (!routingUsable()) {
        if (failed)
            *failed = true;
        return batch;
    }
    QSqlQuery q(db_);
    q.prepare(QStringLiteral(
        "SELECT id, text FROM offline WHERE recipient = ? AND id > ? ORDER BY id LIMIT ?"));
    q.addBindValue(fromWire(recipient));
    q.addBindValue(afterId);
    q.addBindValue(limitValue(limit, postgres_));
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        noteRoutingFailure();
        if (failed)
            *failed = true;
        return batch;
    }
    while (q.next())
        batch.append({q.value(0).toLongLong(), toWire(q.value(1).toString())});
    return batch;
}

bool ServerStore::dropOffline(const QByteArray& recipient, qint64 afterId, qint64 upToId)
{
    if (!routingUsable())
        return false;
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("DELETE FROM offline WHERE recipient = ? AND id > ? AND id <= ?"));
    q.addBindValue(fromWire(recipient));
    q.addBindValue(afterId);
    q.addBindValue(upToId);
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        noteRoutingFailure();
        return false;
    }
    written_ = true;
    return true;
}

void ServerStore::whenCommitted(std::function<void(qint64)> then)
{
    flushOwn();
    {
        const std::lock_guard<std::mutex> lock(storageMutex_);
        if (storageRunning_ && committed_ < recorded_) {
            waiters_.push_back({recorded_, std::move(then)});
            hurry_ = true;
            storageWake_.notify_all();
            return;
        }
    }
    then(watermark_.load());
}

void ServerStore::serveWaiters()
{
    std::vector<Waiter> ready;
    {
        const std::lock_guard<std::mutex> lock(storageMutex_);
        auto done = [this](const Waiter& w) {
            return !storageRunning_ || committed_ >= w.upTo || failedUpTo_ >= w.upTo;
        };
        for (auto it = waiters_.begin(); it != waiters_.end();) {
            if (done(*it)) {
                ready.push_back(std::move(*it));
                it = waiters_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Waiter& w : ready)
        w.then(watermark_.load());
}

QSet<QByteArray> ServerStore::knownNames(const QList<QByteArray>& names, bool* failed)
{
    QSet<QByteArray> known;
    constexpr qsizetype kChunk = 500;
    for (qsizetype from = 0; from < names.size(); from += kChunk) {
        const QList<QByteArray> chunk = names.mid(from, kChunk);
        QString sql = QStringLiteral("SELECT name FROM accounts WHERE name IN (?");
        for (qsizetype i = 1; i < chunk.size(); ++i)
            sql += QStringLiteral(", ?");
        sql += QLatin1Char(')');
        const bool usable = routingUsable();
        QSqlQuery q(db_);
        if (usable) {
            q.prepare(sql);
            for (const QByteArray& name : chunk)
                q.addBindValue(fromWire(name));
        }
        if (!usable || !q.exec()) {
            if (usable) {
                lastError_ = q.lastError().text();
                noteRoutingFailure();
            }
            if (failed) {
                *failed = true;
                reportFailure(QStringLiteral("looking up recipients"), lastError_);
                return {};
            }
            continue;
        }
        if (failed)
            reportRecovery(QStringLiteral("looking up recipients"));
        while (q.next())
            known.insert(toWire(q.value(0).toString()));
    }
    return known;
}

} // namespace wispline::server
