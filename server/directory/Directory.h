#pragma once
// The organisation's directory (LDAP), asked whether a password is a user's, which level groups
// the user is in and who the supervisor is, and asked to change a user's password. Asked on the
// check workers, never on the routing thread: each question waits at most the time-out for each
// step, over TLS only (StartTLS or LDAPS) with the directory's certificate verified. Connections
// are kept between questions, a few at a time.
//
// Whether the directory answers is tracked for readiness, the metrics and the log. While it does
// not, questions are answered Unanswered at once, so that a directory that went silent does not
// hold the workers the server's own accounts need, and it is looked at every second on a thread
// of its own until it answers again; while it does, every half a minute without questions.
#include "directory/DirectoryOptions.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

typedef struct ldap LDAP; // NOLINT: libldap's own name, kept out of the includers
struct ldap_conncb;

namespace wispline::server
{

struct LdapLibrary;

class Directory : public QObject
{
    Q_OBJECT
public:
    // Idle connections kept, and how long one is kept idle (directories close idle ones).
    static constexpr int kMaxIdle = 8;
    static constexpr qint64 kMaxIdleMs = 60000;
    // Opening a connection (TCP, StartTLS, the TLS handshake) ends after this many time-outs at
    // most: its socket is shut down then.
    static constexpr int kOpenTimeouts = 3;
    // Looks at the directory this often while it does not answer, and after this long without a
    // question while it does.
    static constexpr int kProbeDownMs = 1000;
    static constexpr int kProbeIdleMs = 30000;

    explicit Directory(const DirectoryOptions& options, QObject* parent = nullptr);
    ~Directory() override;

    // Loads OpenLDAP's client library and makes a TLS context of the settings, so that a
    // mistake shows at the start; false with a reason. Then looks at the directory at once, and
    // every so often after.
    bool start(QString* error);

    struct Answer {
        enum class Kind { Accepted, Refused, Unanswered } kind = Kind::Unanswered;
        int level = 0;
        QString supervisor; // the account name of a level 3 user's supervisor, or empty
        QString note;       // why, for the log
    };
    // On a worker: whether the password (UTF-8) is the user's there, and the level and
    // supervisor the directory gives. A name that is no account name and an empty password are
    // refused before any question.
    Answer check(const QString& name, const QByteArray& password);

    enum class Change { Changed, Refused, WrongPassword, Unanswered };
    // On a worker: the password-modify operation, bound as the user with the old password.
    Change changePassword(const QString& name, const QByteArray& oldPassword,
                          const QByteArray& newPassword, QString* note);

    // Any thread: whether the directory answered the last question or look; why not, with
    // since when, in one line (empty while it did).
    bool reachable() const { return reachable_.load(); }
    QString problem() const;

private:
    // One question on one connection: each step sets rc and, when it did not go through, note.
    struct Session {
        LDAP* ld = nullptr;
        int rc = 0;
        QString note;
    };
    // How a step ended: as asked, refused for this user, or the directory cannot be used now
    // (the connection is dropped then).
    enum class Step { Done, Refused, Unusable };

    // Runs question on a connection kept from before or a new one: once more on a new one when a
    // kept one turns out closed by the directory. Tracks whether the directory answers.
    Step ask(const std::function<Step(Session&)>& question, QString* note);
    Step checkOn(Session& s, const QString& name, const QByteArray& password, Answer* answer);
    Step findUser(Session& s, const QString& name, const QByteArray& attribute, QByteArray* dn,
                  QByteArray* value);
    Step bindAs(Session& s, const QByteArray& dn, const QByteArray& password);
    // As the service account, or anonymously without one.
    Step bindService(Session& s);
    Step isMember(Session& s, const QByteArray& dn, const QString& name, int level, bool* member);
    Step readValue(Session& s, const QByteArray& dn, const QByteArray& attribute,
                   QByteArray* value);
    Step supervisorOf(Session& s, const QString& name, const QByteArray& managerDn,
                      QString* supervisor);
    Step userDn(Session& s, const QString& name, QByteArray* dn);

    // A connection with the settings (and its own TLS context); not connected yet.
    LDAP* configured(QString* why) const;
    LDAP* open(QString* why) const;
    void giveBack(LDAP* ld);
    void noteAnswered();
    void noteUnanswered(const QString& why);
    void probe();
    void log(const QString& line);

    const DirectoryOptions options_;
    const LdapLibrary* ldap_ = nullptr; // loaded by start()
    QByteArray url_;
    // Shuts down the socket of a connection still opening at its deadline: libldap's own
    // network time-out does not end every TLS handshake with a directory that went silent.
    class OpenWatch;
    std::unique_ptr<OpenWatch> openWatch_;
    std::unique_ptr<ldap_conncb> connectCallbacks_; // tells openWatch_ each new socket
    QElapsedTimer clock_;
    QMutex idleMutex_;
    struct Idle {
        LDAP* ld;
        qint64 since;
    };
    std::vector<Idle> idle_;
    std::atomic<bool> reachable_{true};
    std::atomic<qint64> downSince_{0};
    std::atomic<qint64> lastContact_{0};
    mutable QMutex problemMutex_;
    QString problem_;
    std::atomic<bool> probing_{false};
    QTimer probeTimer_;
    QThreadPool prober_; // declared last: its look ends before the rest goes
};

} // namespace wispline::server
