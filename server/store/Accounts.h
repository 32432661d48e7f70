#pragma once
// Accounts and their password hashes, and the settings a log-on is checked against (the lowest
// client version allowed). Read and written on the routing connection, committed at once.
// Passwords are kept as PBKDF2-HMAC-SHA256 hashes with a salt each; the key derivation itself
// touches no database, so it can run on any thread.
#include "store/RoutingConnection.h"
#include "store/StoreFailures.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <optional>

namespace wispline::server
{

struct Account {
    QString name;
    int level = 0;
    QString supervisor; // a Level 2 user, for Level 3 users only; may be empty
    QByteArray salt;
    QByteArray hash;
    int iterations = 0; // PBKDF2 rounds; 0 for a hash of the old kind (one salted SHA-256 pass)
    // Kept in the organisation's directory, which checks its password and gives its level and
    // supervisor: no salt or hash here, and no password of this server lets it in.
    bool directory = false;
};

// What a log-on is checked against: the account, the fast verifier of its password kept after
// a full check (empty when there is none), and when the user last logged on from the address.
struct LogOnRecord {
    std::optional<Account> account;
    QByteArray verifier;
    QByteArray verifierKeyId; // of the server key it was made with
    qint64 verifierMade = 0;  // seconds since the epoch
    qint64 originSeen = 0;    // seconds since the epoch; 0: never
};

// A salt and PBKDF2 hash of a password, with its round count.
struct PasswordHash {
    QByteArray salt;
    QByteArray hash;
    int iterations = 0;
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
    InDirectory,
    Failed
};

// A short English explanation of a result, for the admin commands.
QString describe(StoreResult result);

class Accounts
{
public:
    // PBKDF2-HMAC-SHA256 rounds for a new password hash; about 0.1 s of one core of the
    // development machine.
    static constexpr int kDefaultKdfIterations = 100000;

    Accounts(RoutingConnection& routing, StoreFailures& failures);

    // With failed, a query that fails sets it (and is logged) rather than reading as no row.
    std::optional<Account> account(const QString& name, bool* failed = nullptr);
    // The account with its verifier and what is known of the address, in one query.
    LogOnRecord logOnRecord(const QString& name, const QString& address, bool* failed);
    QList<Account> accounts();
    // Which of these names have an account, in one query per few hundred.
    QSet<QByteArray> knownNames(const QList<QByteArray>& names, bool* failed = nullptr);
    // Wire bytes of a password against an account; with no account, costs the same and fails.
    // Touches no database: safe on any thread (as is hashPassword()).
    bool passwordMatches(const std::optional<Account>& account, const QByteArray& password) const;
    // True when the account's hash is of the old kind or weaker than new ones.
    bool hashIsOutdated(const Account& account) const;
    // Stores the password again with the current key derivation (after a right log-on).
    StoreResult rehashPassword(const QString& name, const QByteArray& password);
    PasswordHash hashPassword(const QByteArray& password) const;
    // With replacedSalt, only while the account still has that salt: a password set meanwhile
    // (NoSuchUser then) is not overwritten. A new password, like a new level, drops the
    // account's verifier.
    StoreResult storePasswordHash(const QString& name, const PasswordHash& hash,
                                  const QByteArray& replacedSalt = QByteArray());
    void setKdfIterations(int iterations) { kdfIterations_ = iterations; }
    int kdfIterations() const { return kdfIterations_; }
    StoreResult addUser(const QString& name, const QString& password, int level,
                        const QString& supervisor = {});
    StoreResult setPassword(const QString& name, const QString& password);
    // Not for an account kept in the directory (InDirectory), which gives its level.
    StoreResult setLevel(const QString& name, int level, const QString& supervisor = {});
    // The directory's account after a log-on it checked: added, or its level and supervisor
    // brought up to date (which drops its verifier); before is what was stored. A local account
    // of the name is left as it is (Exists). The account's salt is set to the stored one: an
    // account of the directory has one too, with no hash, made anew by renewDirectorySalt().
    StoreResult keepDirectoryAccount(Account& account, std::optional<Account>* before);
    // After a password change made in the directory: a new salt, so that the verifiers and the
    // checks made before it match nothing (and the verifier is dropped).
    StoreResult renewDirectorySalt(const QString& name, QByteArray* salt);
    // Hands a local account over to the directory: its password here is removed, and its level
    // comes from the directory from its next log-on on. A password set here (setPassword(),
    // storePasswordHash()) makes it a local account again.
    StoreResult useDirectory(const QString& name);

    // The lowest client version allowed to log on; empty when any version is.
    QString minimumVersion(bool* failed = nullptr);
    StoreResult setMinimumVersion(const QString& version);

private:
    bool supervisorIsValid(const QString& supervisor);
    StoreResult storeHash(const QString& name, const QByteArray& password);
    void dropVerifier(const QString& name);
    QByteArray derive(const QByteArray& salt, const QByteArray& password, int iterations) const;

    RoutingConnection& routing_;
    StoreFailures& failures_;
    int kdfIterations_ = kDefaultKdfIterations;
};

} // namespace wispline::server
