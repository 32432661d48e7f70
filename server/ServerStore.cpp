#include "ServerStore.h"

#include "ServerRules.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
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
// retried; beyond this many the oldest are given up.
constexpr std::size_t kMaxPendingWrites = 200000;
constexpr int kRetryMs = 1000;
constexpr int kCheckpointMs = 10000;

QByteArray hashPassword(const QByteArray& salt, const QByteArray& password)
{
    return QCryptographicHash::hash(salt + password, QCryptographicHash::Sha256);
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
    checkpointTimer_.setInterval(kCheckpointMs);
    connect(&checkpointTimer_, &QTimer::timeout, this, &ServerStore::checkpoint);
    connect(&flushTimer_, &QTimer::timeout, this, [this] {
        if (!flush())
            flushTimer_.start(kRetryMs);
    });
    static int counter = 0;
    connectionName_ = QStringLiteral("wispline-server-%1").arg(++counter);
}

ServerStore::~ServerStore()
{
    if (db_.isOpen())
        flush();
    insertMessage_.reset();
    insertOffline_.reset();
    if (db_.isValid()) {
        db_.close();
        db_ = QSqlDatabase();
        QSqlDatabase::removeDatabase(connectionName_);
    }
}

bool ServerStore::open(const QString& path, QString* error)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        lastError_ = QStringLiteral("cannot create the folder %1").arg(info.absolutePath());
        if (error)
            *error = lastError_;
        return false;
    }
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName_);
    db_.setDatabaseName(info.absoluteFilePath());
    db_.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
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
    insertMessage_ = std::make_unique<QSqlQuery>(db_);
    insertMessage_->prepare(QStringLiteral("INSERT INTO messages(day, time, sender, recipient, "
                                           "body) VALUES(?, ?, ?, ?, ?)"));
    checkpointTimer_.start();
    insertOffline_ = std::make_unique<QSqlQuery>(db_);
    insertOffline_->prepare(
        QStringLiteral("INSERT INTO offline(recipient, text, created) VALUES(?, ?, ?)"));
    return true;
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
    // WAL lets the admin commands read and write while the server runs; NORMAL syncs at each
    // checkpoint rather than each commit, which a crash of the process itself does not undo.
    // Checkpoints (and their disk syncs) run on a timer instead of whenever the log fills, so
    // they do not stall message routing every few hundred commits.
    return exec(QStringLiteral("PRAGMA journal_mode=WAL")) &&
           exec(QStringLiteral("PRAGMA synchronous=NORMAL")) &&
           exec(QStringLiteral("PRAGMA wal_autocheckpoint=0")) &&
           exec(QStringLiteral("CREATE TABLE IF NOT EXISTS accounts(name TEXT PRIMARY KEY, "
                               "level INTEGER NOT NULL, supervisor TEXT NOT NULL DEFAULT '', "
                               "salt BLOB NOT NULL, hash BLOB NOT NULL)")) &&
           exec(QStringLiteral(
               "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT)")) &&
           exec(QStringLiteral("CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY, "
                               "day TEXT NOT NULL, time TEXT NOT NULL, sender TEXT NOT NULL, "
                               "recipient TEXT NOT NULL, body TEXT NOT NULL)")) &&
           // Only the day is indexed: it grows in step with the row id, so an insert touches
           // the last pages alone. Indexes by user would rewrite pages all over the file on
           // every commit; the day's download filters the day's rows instead.
           exec(QStringLiteral("CREATE INDEX IF NOT EXISTS messages_day ON messages(day)")) &&
           exec(QStringLiteral("CREATE TABLE IF NOT EXISTS offline(id INTEGER PRIMARY KEY, "
                               "recipient TEXT NOT NULL, text TEXT NOT NULL, created TEXT)")) &&
           exec(QStringLiteral(
               "CREATE INDEX IF NOT EXISTS offline_recipient ON offline(recipient)"));
}

std::optional<Account> ServerStore::account(const QString& name)
{
    QSqlQuery q(db_);
    q.prepare(
        QStringLiteral("SELECT name, level, supervisor, salt, hash FROM accounts WHERE name = ?"));
    q.addBindValue(normalizeUserName(name));
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    return accountFrom(q);
}

QList<Account> ServerStore::accounts()
{
    QList<Account> result;
    QSqlQuery q(db_);
    if (!q.exec(QStringLiteral(
            "SELECT name, level, supervisor, salt, hash FROM accounts ORDER BY level, name"))) {
        lastError_ = q.lastError().text();
        return result;
    }
    while (q.next())
        result.append(accountFrom(q));
    return result;
}

bool ServerStore::passwordMatches(const Account& account, const QByteArray& password)
{
    return !account.hash.isEmpty() && hashPassword(account.salt, password) == account.hash;
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
    q.prepare(QStringLiteral(
        "INSERT INTO accounts(name, level, supervisor, salt, hash) VALUES(?, ?, ?, ?, ?)"));
    q.addBindValue(name);
    q.addBindValue(level);
    q.addBindValue(supervisor.isEmpty() ? QStringLiteral("") : supervisor); // never NULL
    q.addBindValue(salt);
    q.addBindValue(hashPassword(salt, password.toLatin1()));
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
    const QByteArray salt = newSalt();
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("UPDATE accounts SET salt = ?, hash = ? WHERE name = ?"));
    q.addBindValue(salt);
    q.addBindValue(hashPassword(salt, password.toLatin1()));
    q.addBindValue(name);
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
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

QList<QByteArray> ServerStore::supervisedBy(const QByteArray& supervisor)
{
    QList<QByteArray> names;
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT name FROM accounts WHERE supervisor = ? AND level = 3"));
    q.addBindValue(QString::fromLatin1(supervisor));
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        return names;
    }
    while (q.next())
        names.append(q.value(0).toString().toLatin1());
    return names;
}

QString ServerStore::minimumVersion()
{
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT value FROM settings WHERE key = 'min_version'"));
    if (!q.exec() || !q.next())
        return {};
    return q.value(0).toString();
}

StoreResult ServerStore::setMinimumVersion(const QString& version)
{
    if (!parseVersion(version, nullptr))
        return StoreResult::BadVersion;
    QSqlQuery q(db_);
    q.prepare(
        QStringLiteral("INSERT OR REPLACE INTO settings(key, value) VALUES('min_version', ?)"));
    q.addBindValue(version.trimmed());
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        return StoreResult::Failed;
    }
    return StoreResult::Ok;
}

void ServerStore::recordMessage(const QString& day, const QString& time, const QByteArray& sender,
                                const QByteArray& recipient, const QByteArray& body)
{
    PendingWrite w;
    w.day = day;
    w.time = time;
    w.sender = QString::fromLatin1(sender);
    w.recipient = QString::fromLatin1(recipient);
    w.text = QString::fromLatin1(body);
    pending_.push_back(std::move(w));
    scheduleFlush();
}

void ServerStore::queueOffline(const QString& created, const QByteArray& recipient,
                               const QByteArray& displayText)
{
    PendingWrite w;
    w.offline = true;
    w.created = created;
    w.recipient = QString::fromLatin1(recipient);
    w.text = QString::fromLatin1(displayText);
    pending_.push_back(std::move(w));
    // Nobody else holds this message until its recipient logs on: commit it at once. It is
    // rare next to deliveries to connected users, so the batching loses nothing here.
    if (!flush())
        scheduleFlush();
}

void ServerStore::scheduleFlush()
{
    if (pending_.size() > kMaxPendingWrites)
        pending_.erase(pending_.begin(),
                       pending_.begin() + std::ptrdiff_t(pending_.size() - kMaxPendingWrites));
    if (!flushTimer_.isActive())
        flushTimer_.start(commitDelayMs_);
}

void ServerStore::checkpoint()
{
    if (!written_ || !db_.isOpen())
        return;
    flush();
    written_ = !exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
}

bool ServerStore::flush()
{
    if (pending_.empty() || !db_.isOpen())
        return true;
    if (!db_.transaction()) {
        lastError_ = db_.lastError().text();
        return false;
    }
    for (const PendingWrite& w : pending_) {
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
        if (!q.exec()) {
            lastError_ = q.lastError().text();
            db_.rollback();
            return false;
        }
    }
    if (!db_.commit()) {
        lastError_ = db_.lastError().text();
        db_.rollback();
        return false;
    }
    pending_.clear();
    written_ = true;
    return true;
}

QList<QByteArray> ServerStore::takeOffline(const QByteArray& recipient)
{
    QList<QByteArray> texts;
    flush();
    if (!db_.transaction()) {
        lastError_ = db_.lastError().text();
        return texts;
    }
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT text FROM offline WHERE recipient = ? ORDER BY id"));
    q.addBindValue(QString::fromLatin1(recipient));
    const bool read = q.exec();
    while (read && q.next())
        texts.append(q.value(0).toString().toLatin1());
    q.finish();
    QSqlQuery del(db_);
    del.prepare(QStringLiteral("DELETE FROM offline WHERE recipient = ?"));
    del.addBindValue(QString::fromLatin1(recipient));
    if (!read || !del.exec() || !db_.commit()) {
        lastError_ = db_.lastError().text();
        db_.rollback();
        return {};
    }
    return texts;
}

QList<DayMessage> ServerStore::messagesOfDay(const QDate& day, const QByteArray& user)
{
    QList<DayMessage> result;
    flush();
    QSqlQuery q(db_);
    q.prepare(QStringLiteral("SELECT time, sender, recipient, body FROM messages WHERE day = ? "
                             "AND (sender = ? OR recipient = ?) ORDER BY id"));
    const QString name = QString::fromLatin1(user);
    q.addBindValue(day.toString(Qt::ISODate));
    q.addBindValue(name);
    q.addBindValue(name);
    if (!q.exec()) {
        lastError_ = q.lastError().text();
        return result;
    }
    while (q.next())
        result.append({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                       q.value(3).toString()});
    return result;
}

} // namespace wispline::server
