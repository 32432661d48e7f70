#pragma once
// One password check of the way in, as it goes to a worker and comes back: a log-on's, which
// later log-ons of the same name and password may share, a password change's or a day
// download's; and a password change made in a directory.
#include "store/Accounts.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace wispline::server
{

struct PasswordCheck {
    QString userName;
    QByteArray password; // wire bytes
    std::optional<Account> account;
    // The account's verifier, when fresh and made with this server's key; checked on the worker
    // before any key derivation.
    QByteArray verifier;
    bool outdated = false; // the stored hash is weaker than new ones: renewed once it matches
    QByteArray checkedSalt;
    qint64 originSeen = 0; // when the user last logged on from the address (seconds)

    // A verifier of a directory's account too old to answer first: it answers only when the
    // directory does not.
    QByteArray fallbackVerifier;

    bool matches = false;
    bool fromVerifier = false;
    std::optional<PasswordHash> renewed;
    bool throttled = false;   // refused unchecked when its turn came
    qint64 answerDelayMs = 0; // a wrong answer is held back this long
    // Set by a full check made elsewhere (a directory): it could not be made (the log-on is held
    // and asked again, never refused for it); account is as found there (stored once it
    // matched); why, for the log.
    bool unanswered = false;
    bool found = false;
    QString note;
};

// The check a log-on takes when no verifier answers it, on a worker thread: whether the password
// is the account's (setting matches, and renewed where the stored hash is outdated). The
// server's own is the key derivation against the stored hash; another (a bind to a directory,
// say) may take its place.
using FullCheck = std::function<void(PasswordCheck&)>;

// A password change of an account kept in a directory, made there on a worker.
struct PasswordChange {
    QString userName;
    QByteArray oldPassword; // wire bytes: the one the session logged on with
    QByteArray newPassword;
    enum class Outcome { Changed, Refused, Unanswered } outcome = Outcome::Unanswered;
    QByteArray refusal; // wire text for the user, when refused
    QString note;       // why, for the log
};
using DirectoryPasswordChange = std::function<void(PasswordChange&)>;

} // namespace wispline::server
