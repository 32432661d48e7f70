#pragma once
// Everything the server keeps across restarts: accounts, settings, the messages of each day and
// the messages waiting for users who were offline. In one SQLite file by default, or in a
// PostgreSQL database (a postgresql:// address); the two differ only in a few statements.
//
// Delivered messages are handed to a storage thread, which commits them together within the
// commit delay on its own connection (under load one transaction carries hundreds of messages)
// and runs the WAL checkpoints: neither ever holds up the routing thread. Messages kept for an
// offline user, accounts and settings are committed at once on the caller's connection. Reads
// that depend on pending writes wait for them first, and so does the shutdown.
//
// A PostgreSQL database may restart or vanish: a connection that finds itself cut is opened
// again, the storage thread's first (with pauses growing to 5 s), the routing thread's once the
// storage thread has reached the database, so routing never waits on a connection attempt.
#include "store/StoreAddress.h"
#include "store/StoreConnection.h"
#include <QByteArray>
#include <QDate>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class QSqlQuery;

namespace wispline::server
{

struct Account {
    QString name;
    int level = 0;
    QString supervisor; // a Level 2 user, for Level 3 users only; may be empty
    QByteArray salt;
    QByteArray hash;
    int iterations = 0; // PBKDF2 rounds; 0 for a hash of the old kind (one salted SHA-256 pass)
};

// A salt and PBKDF2 hash of a password, with its round count.
struct PasswordHash {
    QByteArray salt;
    QByteArray hash;
    int iterations = 0;
};

// A display text kept for an offline user, with its row id.
struct OfflineMessage {
    qint64 id = 0;
    QByteArray text;
};

struct DayMessage {
    qint64 id = 0;
    QString time; // HH:mm:ss
    QString sender;
    QString recipient;
    QString body;
};

enum class StoreResult {
    Ok,
    Exists,
    NoSuchUser,
    BadName,
    BadLevel,
    BadSupervisor,
    BadPassword,
    BadVersion,
    Failed
};

// A short English explanation of a result, for the admin commands.
QString describe(StoreResult result);

class ServerStore : public QObject
{
    Q_OBJECT
public:
    // How long delivered messages may wait to be committed together, by default.
    static constexpr int kDefaultCommitDelayMs = 20;
    // PBKDF2-HMAC-SHA256 rounds for a new password hash; about 0.1 s of one core of the
    // development machine.
    static constexpr int kDefaultKdfIterations = 100000;

    explicit ServerStore(QObject* parent = nullptr);
    ~ServerStore() override;

    // Opens (and on first use creates) the database file, or connects to the PostgreSQL
    // database of a postgresql:// address and creates its tables. False with a reason on failure.
    bool open(const QString& path, QString* error);
    // True for a postgresql:// (or postgres://) address rather than a file name.
    static bool isPostgresAddress(const QString& path);
    bool isPostgres() const { return postgres_; }
    // A connection the routing thread uses waits this long for a lock held elsewhere before it
    // tries later, and its statements are bounded more tightly than the other threads'.
    static constexpr int kRoutingBusyMs = 1000;
    // Sets up a connection to this store's database under a name, for one thread.
    QSqlDatabase addConnection(const QString& name, int busyMs = 5000) const;
    QString lastError() const { return lastError_; }

    // Accounts.
    // With failed, a query that fails sets it (and is logged) rather than reading as no row.
    std::optional<Account> account(const QString& name, bool* failed = nullptr);
    QList<Account> accounts();
    // Wire bytes of a password against an account; with no account, costs the same and fails.
    // Touches no database: safe on any thread, so the key derivation can run off the routing
    // thread (as can hashPassword()).
    bool passwordMatches(const std::optional<Account>& account, const QByteArray& password) const;
    // True when the account's hash is of the old kind or weaker than new ones.
    bool hashIsOutdated(const Account& account) const;
    // Stores the password again with the current key derivation (after a right log-on).
    StoreResult rehashPassword(const QString& name, const QByteArray& password);
    PasswordHash hashPassword(const QByteArray& password) const;
    // With replacedSalt, only while the account still has that salt: a password set meanwhile
    // (NoSuchUser then) is not overwritten.
    StoreResult storePasswordHash(const QString& name, const PasswordHash& hash,
                                  const QByteArray& replacedSalt = QByteArray());
    void setKdfIterations(int iterations) { kdfIterations_ = iterations; }
    int kdfIterations() const { return kdfIterations_; }
    StoreResult addUser(const QString& name, const QString& password, int level,
                        const QString& supervisor = {});
    StoreResult setPassword(const QString& name, const QString& password);
    StoreResult setLevel(const QString& name, int level, const QString& supervisor = {});

    // The lowest client version allowed to log on; empty when any version is.
    QString minimumVersion(bool* failed = nullptr);
    StoreResult setMinimumVersion(const QString& version);

    // A message given to (or kept for) one recipient, for the day's messages; the day is
    // yyyy-MM-dd and the time HH:mm:ss, both local.
    // One for an offline recipient (withOffline) is committed with the queueOffline() that
    // follows it, so both survive anything from then on; the others go to the storage thread.
    void recordMessage(const QString& day, const QString& time, const QByteArray& sender,
                       const QByteArray& recipient, const QByteArray& body,
                       bool withOffline = false);
    // A display text kept until its recipient logs on, after the others waiting for them (row
    // ids are never reused). Committed at once unless commitNow is false (a caller queueing
    // many commits them with flushOffline()); one that fails is kept and retried, never dropped.
    void queueOffline(const QString& created, const QByteArray& recipient,
                      const QByteArray& displayText, bool commitNow = true);
    // Up to limit texts kept for a user with row ids above afterId, oldest first. With failed,
    // a read that fails sets it rather than reading as no row.
    QList<OfflineMessage> offlineBatch(const QByteArray& recipient, qint64 afterId, int limit,
                                       bool* failed = nullptr);
    // Removes a user's kept texts with row ids in (afterId, upToId], once handed over.
    bool dropOffline(const QByteArray& recipient, qint64 afterId, qint64 upToId);
    // Calls then(watermark) on this thread once what was recorded so far is committed, without
    // waiting for it: the watermark is the highest message row id committed.
    void whenCommitted(std::function<void(qint64)> then);
    // Which of these names have an account, in one query per few hundred.
    QSet<QByteArray> knownNames(const QList<QByteArray>& names, bool* failed = nullptr);

    // Commits every pending write now, waiting for the storage thread's.
    bool flush();
    // Commits the offline queue's pending writes now (not the delivered messages); while the
    // store fails, leaves them to the retry timer.
    bool flushOffline();
    // True while more waits to be written than the server should hold: it stops reading its
    // clients until the store catches up.
    bool congested() const;
    // How long the store has failed without a success since, in ms; 0 while it works.
    qint64 failingForMs() const;
    void setCommitDelay(int ms) { commitDelayMs_ = ms; }
    // Read-only, for readiness and the metrics (routing thread): whether every kind of work
    // works, and what waits to be written, in rows and in bytes.
    bool reachable() const { return !failing_; }
    // Reads that failed count as mended once the database is reached again.
    void forgetFailedReads();
    qint64 queuedRows();
    qint64 queuedBytes() const { return pendingBytes_ + recordBytes_.load(); }

private:
    struct PendingWrite {
        bool offline = false;
        QString day;
        QString time;
        QString created;
        QString sender;
        QString recipient;
        QString text;
    };

    bool exec(const QString& sql);
    // The routing connection: usable now, or reopened once the storage thread has reached the
    // database again (so a vanished database never holds up routing in a connection attempt).
    bool routingUsable();
    // After a failed statement on the routing connection: is the connection itself gone?
    void noteRoutingFailure();
    void prepareInserts();
    // A lost connection somewhere: the storage thread tries to reach the database again.
    void markUnreachable();
    bool ensureSchema();
    void scheduleFlush();
    bool supervisorIsValid(const QString& supervisor);
    StoreResult storeHash(const QString& name, const QByteArray& password);
    QByteArray derive(const QByteArray& salt, const QByteArray& password, int iterations) const;
    bool flushOwn(); // this connection's pending writes alone
    bool offlineIdsNeverReused();
    // Storage failures and the recovery after them, for the log (routing thread only).
    void reportFailure(const QString& what, const QString& error);
    void reportRecovery(const QString& what);
    // The storage thread: commits delivered messages and runs checkpoints (and their disk
    // syncs) on its own connection; WAL lets both go on beside this connection.
    struct Record {
        QString day;
        QString time;
        QByteArray sender;
        QByteArray recipient;
        QByteArray body;
    };
    void runStorage();
    // Commits a batch; a batch refused for a row's fault is written row by row, and the rows
    // that cannot be written are set aside. What is left in records failed.
    bool commitRecords(QSqlDatabase& db, QSqlQuery& insert, std::vector<Record>& records,
                       QString* error);
    void stopStorage();
    void serveWaiters();
    void raiseWatermark(qint64 id);
    struct Waiter {
        quint64 upTo = 0;
        std::function<void(qint64)> then;
    };

    QString connectionName_;
    bool postgres_ = false;
    QString file_;              // SQLite: the absolute file name
    PostgresAddress pgAddress_; // the password comes from .pgpass, never from here
    QSqlDatabase db_;
    bool routingLost_ = false;
    std::atomic<bool> reachable_{true}; // the storage thread's connection works
    QString lastError_;
    std::vector<PendingWrite> pending_;
    qint64 pendingBytes_ = 0;
    std::atomic<qint64> recordBytes_{0}; // of records_ and the batch being committed
    bool failing_ = false;               // some kind of work in failingKinds_ fails
    QSet<QString> failingKinds_;
    QElapsedTimer failureClock_;
    qint64 failingSince_ = 0;                // ms on failureClock_
    QHash<QString, qint64> failureLoggedAt_; // of each kind, ms on failureClock_
    QHash<QString, qint64> lastFailureAt_;   // of each kind failing, ms on failureClock_
    int failuresUnlogged_ = 0;
    QTimer flushTimer_;
    std::atomic<int> commitDelayMs_{kDefaultCommitDelayMs};
    int kdfIterations_ = kDefaultKdfIterations;
    std::thread storage_;
    std::mutex storageMutex_;
    std::condition_variable storageWake_; // records, a flush or the stop for the thread
    std::condition_variable storageDone_; // a commit tried, for flush()
    std::vector<Record> records_;         // waiting for the storage thread
    quint64 recorded_ = 0;                // records handed over so far
    quint64 committed_ = 0;               // of those, committed
    quint64 failedUpTo_ = 0;              // the last commit that failed covered these
    QString storageError_;
    bool storageRunning_ = false;
    bool flushWanted_ = false;
    bool storageStop_ = false;
    bool hurry_ = false;          // someone waits for the next commit: no commit delay
    std::vector<Waiter> waiters_; // on the caller's thread, for whenCommitted()
    std::atomic<qint64> watermark_{0};
    std::atomic<bool> written_{false}; // committed since the last checkpoint
    std::unique_ptr<QSqlQuery> insertMessage_;
    std::unique_ptr<QSqlQuery> insertOffline_;
};

} // namespace wispline::server
