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
//
// This class is the one face the router, the cluster and the admin commands see; the work is
// done by the store's rooms, each keeping one thing: Schema (the tables and their upgrades),
// Accounts (accounts, password hashes, log-on settings), Verifiers (the fast verifiers of
// passwords and the addresses users logged on from), OfflineQueue (what is committed at
// once on the routing connection), StorageThread (batches of delivered messages, checkpoints,
// the watermark), RoutingConnection (the routing thread's connection and last error),
// StoreFailures (what fails, for the log and readiness), SpillFile (what could not be written
// when the server left) and StopNotice (an operator's announced stop).
#include "store/Accounts.h"
#include "store/DiskSpace.h"
#include "store/OfflineQueue.h"
#include "store/RoutingConnection.h"
#include "store/SpillFile.h"
#include "store/StopNotice.h"
#include "store/StorageThread.h"
#include "store/StoreAddress.h"
#include "store/StoreConnection.h"
#include "store/StoreFailures.h"
#include "store/Verifiers.h"
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QString>
#include <functional>
#include <optional>

namespace wispline::server
{

struct DayMessage {
    qint64 id = 0;
    QString time; // HH:mm:ss
    QString sender;
    QString recipient;
    QString body;
};

class ServerStore : public QObject
{
    Q_OBJECT
public:
    // How long delivered messages may wait to be committed together, by default.
    static constexpr int kDefaultCommitDelayMs = StorageThread::kDefaultCommitDelayMs;
    // PBKDF2-HMAC-SHA256 rounds for a new password hash; about 0.1 s of one core of the
    // development machine.
    static constexpr int kDefaultKdfIterations = Accounts::kDefaultKdfIterations;

    explicit ServerStore(QObject* parent = nullptr);
    ~ServerStore() override;

    // Opens (and on first use creates) the database file, or connects to the PostgreSQL
    // database of a postgresql:// address and creates its tables. False with a reason on failure.
    bool open(const QString& path, QString* error);
    // True for a postgresql:// (or postgres://) address rather than a file name.
    static bool isPostgresAddress(const QString& path);
    bool isPostgres() const { return where_.postgres(); }
    // A connection the routing thread uses waits this long for a lock held elsewhere before it
    // tries later, and its statements are bounded more tightly than the other threads'.
    static constexpr int kRoutingBusyMs = StoreLocation::kRoutingBusyMs;
    // Sets up a connection to this store's database under a name, for one thread.
    QSqlDatabase addConnection(const QString& name, int busyMs = 5000) const;
    QString lastError() const { return routing_.lastError(); }

    // Accounts.
    // With failed, a query that fails sets it (and is logged) rather than reading as no row.
    std::optional<Account> account(const QString& name, bool* failed = nullptr);
    QList<Account> accounts();
    // For a log-on: the account, its verifier and whether the user logged on from the address
    // lately, in one query (see Verifiers). With failed as for account().
    LogOnRecord logOnRecord(const QString& name, const QString& address, bool* failed);
    // Kept after a full check, and after a log-on from an address; written within a second.
    void keepVerifier(const QString& name, const QByteArray& verifier, const QByteArray& keyId)
    {
        verifiers_.keepVerifier(name, verifier, keyId);
    }
    void keepOrigin(const QString& name, const QString& address)
    {
        verifiers_.keepOrigin(name, address);
    }
    // Days a verifier is used after its full check; 0: none is made or used.
    void setVerifierDays(int days) { verifiers_.setDays(days); }
    int verifierDays() const { return verifiers_.days(); }
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
    void setKdfIterations(int iterations) { accounts_.setKdfIterations(iterations); }
    int kdfIterations() const { return accounts_.kdfIterations(); }
    StoreResult addUser(const QString& name, const QString& password, int level,
                        const QString& supervisor = {});
    StoreResult setPassword(const QString& name, const QString& password);
    StoreResult setLevel(const QString& name, int level, const QString& supervisor = {});
    // Accounts kept in the organisation's directory (see Accounts).
    StoreResult keepDirectoryAccount(Account& account, std::optional<Account>* before);
    StoreResult renewDirectorySalt(const QString& name, QByteArray* salt);
    StoreResult useDirectory(const QString& name);

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
    // A user's kept texts with row ids up to upToId, oldest first: those committed late with
    // ids below rows read before (PostgreSQL), and those handed over and not removed yet.
    QList<OfflineMessage> offlineUpTo(const QByteArray& recipient, qint64 upToId, bool* failed);
    // Removes these rows of a user's kept texts, once handed over.
    bool dropOffline(const QByteArray& recipient, const QList<qint64>& ids);
    // The most one recipient's queue keeps; past either bound the oldest go.
    void setOfflineBounds(qint64 rows, qint64 bytes) { offline_.setBounds(rows, bytes); }
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
    // The same a slice at a time, the first now and the rest in the next turns of the event
    // loop: a message to many offline users holds up the others' a few milliseconds at a time.
    bool flushOfflineSoon() { return offline_.flushSoon(); }
    // The offline queue's writes handed over so far, and of those the ones done.
    quint64 offlineAdded() const { return offline_.added(); }
    quint64 offlineCommitted() const { return offline_.committed(); }
    // True while more waits to be written than the server should hold (kMaxPendingBytes): the
    // connections that write the most wait until the store catches up.
    static constexpr qint64 kMaxPendingBytes = 64 * 1024 * 1024;
    bool congested() const;
    // How long the store has failed without a success since, in ms; 0 while it works.
    qint64 failingForMs() const;
    void setCommitDelay(int ms) { storage_.setCommitDelay(ms); }
    // Read-only, for readiness and the metrics (routing thread): whether every kind of work
    // works, and what waits to be written, in rows and in bytes.
    bool reachable() const { return !failures_.failing(); }
    // Reads that failed count as mended once the database is reached again.
    void forgetFailedReads();
    qint64 queuedRows();
    qint64 queuedBytes() const { return offline_.waitingBytes() + storage_.uncommittedBytes(); }

    // The operator's announced stop now; nothing when it cannot be read (never counted as a
    // failure of the store: the next look tries again).
    std::optional<StopNotice> stopNotice();
    StoreResult announceStop(const QString& text);

    // On the way out: stops the storage thread and takes every write still waiting (messages
    // kept for offline users, the day's records) out of memory; nothing writes them afterwards.
    std::vector<SpilledRow> takeUnwritten();
    // Writes rows in one transaction on a connection of their own, marked as the spill segment
    // spillId (a try of it in the spill file is then never written again); a row the database
    // refuses for good is set aside. False with the reason.
    bool writeRows(const std::vector<SpilledRow>& rows, const QByteArray& spillId, QString* error);
    // Writes what the spill file holds into the database, then removes the file (see
    // SpillFile.h). False with the reason, the file kept.
    bool replaySpill(const QString& path, SpillReplay* report, QString* error);

    // Below this many free bytes on the SQLite database's file system no messages are taken
    // (0: no floor).
    void setFreeSpaceFloor(qint64 bytes) { disk_.setFloor(bytes); }
    qint64 freeSpaceFloor() const { return disk_.floor(); }
    // True while the free space is below the floor (looked at once a second at most).
    bool spaceLow() { return disk_.low(); }
    qint64 freeBytes() const { return disk_.freeBytes(); }

private:
    // Runs work on a connection of its own, which waits longer for a lock than the routing
    // thread's: these are single writes at the start and the end.
    bool onOwnConnection(const std::function<bool(QSqlDatabase&)>& work, QString* error);

    // Each room is given only the others it needs; the routing connection and the failure
    // bookkeeping have one owner each.
    StoreLocation where_;
    StoreFailures failures_;
    StorageThread storage_{where_, failures_};
    RoutingConnection routing_{where_, storage_};
    OfflineQueue offline_{routing_, storage_, failures_};
    Accounts accounts_{routing_, failures_};
    Verifiers verifiers_{routing_};
    DiskSpace disk_;
};

} // namespace wispline::server
