#include "directory/Directory.h"

#include "base/ServerLog.h"
#include "base/ServerMetrics.h"
#include "base/ServerRules.h"
#include "directory/LdapLibrary.h"
#include "directory/LdapText.h"

#include <QFile>
#include <QMutexLocker>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>

namespace wispline::server
{
namespace
{

// For what runs only once the directory has started, and so has the library.
const LdapLibrary& loaded()
{
    return *LdapLibrary::load(nullptr);
}

QString describe(LDAP* ld, int rc)
{
    QString text = QString::fromUtf8(loaded().ldap_err2string(rc));
    char* detail = nullptr;
    if (ld &&
        loaded().ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &detail) == LDAP_OPT_SUCCESS &&
        detail) {
        if (*detail)
            text += QStringLiteral(" (%1)").arg(QString::fromUtf8(detail));
        loaded().ldap_memfree(detail);
    }
    return text;
}

berval bytes(const QByteArray& b)
{
    return berval{ber_len_t(b.size()), const_cast<char*>(b.constData())};
}

// Frees what a search returns, whatever it returned.
struct Result {
    LDAPMessage* message = nullptr;
    ~Result() { loaded().ldap_msgfree(message); }
};

QByteArray firstValue(LDAP* ld, LDAPMessage* entry, const QByteArray& attribute)
{
    berval** values = loaded().ldap_get_values_len(ld, entry, attribute.constData());
    QByteArray value;
    if (values && values[0])
        value = QByteArray(values[0]->bv_val, qsizetype(values[0]->bv_len));
    loaded().ldap_value_free_len(values);
    return value;
}

} // namespace

class Directory::OpenWatch
{
public:
    using Clock = std::chrono::steady_clock;

    OpenWatch() : thread_([this] { run(); }) {}
    ~OpenWatch()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    // While one lives, the connection this thread opens is watched: its socket (told by the
    // connection callbacks) is shut down at the deadline, which makes libldap give up.
    class Armed
    {
    public:
        Armed(OpenWatch& watch, Clock::time_point deadline) : watch_(watch)
        {
            {
                std::lock_guard lock(watch_.mutex_);
                token_ = ++watch_.lastToken_;
                watch_.entries_[token_] = Entry{deadline, -1, false};
            }
            current_ = {&watch_, token_};
            watch_.wake_.notify_all();
        }
        ~Armed()
        {
            current_ = {};
            std::lock_guard lock(watch_.mutex_);
            watch_.entries_.erase(token_);
        }
        Armed(const Armed&) = delete;
        Armed& operator=(const Armed&) = delete;
        bool fired() const
        {
            std::lock_guard lock(watch_.mutex_);
            return watch_.entries_.at(token_).fired;
        }

    private:
        OpenWatch& watch_;
        quint64 token_ = 0;
    };

    // The connection callbacks, on the thread that opens: a socket made, or closing.
    static int made(LDAP* ld, Sockbuf* sb, LDAPURLDesc*, sockaddr*, ldap_conncb*)
    {
        ber_socket_t fd = -1;
        if (loaded().ber_sockbuf_ctrl(sb, LBER_SB_OPT_GET_FD, &fd) == 1)
            socketOf(fd);
        // Connected. With a network time-out set, libldap makes the socket non-blocking for the
        // TLS handshake that follows and calls the handshake again and again without waiting:
        // a core busy for as long as a directory stays silent. Without one the handshake waits
        // in reads, which the watch ends at the deadline; open() sets it again afterwards.
        if (current_.watch) {
            const timeval none{-1, 0};
            loaded().ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &none);
        }
        return 0;
    }
    static void closing(LDAP*, Sockbuf*, ldap_conncb*) { socketOf(-1); }

private:
    static void socketOf(int fd)
    {
        if (!current_.watch)
            return;
        std::lock_guard lock(current_.watch->mutex_);
        const auto e = current_.watch->entries_.find(current_.token);
        if (e != current_.watch->entries_.end() && !e->second.fired)
            e->second.fd = fd;
    }

    struct Entry {
        Clock::time_point deadline;
        int fd;
        bool fired;
    };
    struct Current {
        OpenWatch* watch = nullptr;
        quint64 token = 0;
    };
    static thread_local Current current_;

    void run()
    {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (auto& [token, e] : entries_) {
                if (e.fired)
                    continue;
                if (e.deadline > now) {
                    next = std::min(next, e.deadline);
                    continue;
                }
                // Under the lock: the socket is still the connection's (a close clears it
                // first), so no other socket that got its number is touched.
                if (e.fd >= 0)
                    ::shutdown(e.fd, SHUT_RDWR);
                e.fired = true;
            }
            if (next == Clock::time_point::max())
                wake_.wait(lock);
            else
                wake_.wait_until(lock, next);
        }
    }

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::map<quint64, Entry> entries_;
    quint64 lastToken_ = 0;
    bool stop_ = false;
    std::thread thread_; // last: it starts once the rest is made
};

thread_local Directory::OpenWatch::Current Directory::OpenWatch::current_;

Directory::Directory(const DirectoryOptions& options, QObject* parent)
    : QObject(parent), options_(options), openWatch_(std::make_unique<OpenWatch>()),
      connectCallbacks_(std::make_unique<ldap_conncb>(
          ldap_conncb{&OpenWatch::made, &OpenWatch::closing, nullptr}))
{
    clock_.start();
    url_ = directoryUrls(options_.url).join(QLatin1Char(' ')).toUtf8();
    prober_.setMaxThreadCount(1);
    probeTimer_.setInterval(kProbeDownMs);
    connect(&probeTimer_, &QTimer::timeout, this, [this] {
        const qint64 now = clock_.elapsed();
        if (reachable_ && now - lastContact_ < kProbeIdleMs)
            return;
        if (probing_.exchange(true))
            return;
        prober_.start([this] {
            probe();
            probing_ = false;
        });
    });
}

Directory::~Directory()
{
    probeTimer_.stop();
    prober_.waitForDone();
    for (const Idle& i : idle_)
        ldap_->ldap_unbind_ext_s(i.ld, nullptr, nullptr);
}

bool Directory::start(QString* error)
{
    ldap_ = LdapLibrary::load(error);
    if (!ldap_)
        return false;
    // The library's defaults are set up once, here, before any worker opens a connection.
    int version = LDAP_VERSION3;
    ldap_->ldap_set_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);
    if (!options_.caFile.isEmpty()) {
        // An empty or foreign file would be taken as no authority at all: every connection
        // would then fail its check, long after the start.
        QFile ca(options_.caFile);
        if (!ca.open(QIODevice::ReadOnly) || !ca.read(1 << 20).contains("-----BEGIN CERTIFICATE")) {
            *error = QStringLiteral("--ldap-ca %1: %2")
                         .arg(options_.caFile, ca.error() != QFile::NoError
                                                   ? ca.errorString()
                                                   : QStringLiteral("no PEM certificate in it"));
            return false;
        }
    }
    QString why;
    LDAP* ld = configured(&why);
    if (!ld) {
        *error =
            QStringLiteral("cannot use the directory %1: %2").arg(QString::fromUtf8(url_), why);
        return false;
    }
    ldap_->ldap_unbind_ext_s(ld, nullptr, nullptr);
    probeTimer_.start();
    probing_ = true; // looked at at once
    prober_.start([this] {
        probe();
        probing_ = false;
    });
    return true;
}

LDAP* Directory::configured(QString* why) const
{
    LDAP* ld = nullptr;
    int rc = ldap_->ldap_initialize(&ld, url_.constData());
    if (rc != LDAP_SUCCESS) {
        *why = describe(nullptr, rc);
        return nullptr;
    }
    const timeval timeout{options_.timeoutSeconds, 0};
    const int version = LDAP_VERSION3;
    // Every certificate is checked against the authorities (and the name in the address),
    // whatever ldap.conf says; TLS 1.2 at least.
    const int demand = LDAP_OPT_X_TLS_DEMAND;
    const int newest = LDAP_OPT_X_TLS_PROTOCOL_TLS1_2;
    const int client = 0;
    // A switch is on for any other pointer than LDAP_OPT_OFF: LDAP_OPT_ON points into liblber,
    // which is not linked.
    const int on = 1;
    const QByteArray ca = QFile::encodeName(options_.caFile);
    const struct {
        int option;
        const void* value;
        const char* what;
    } settings[] = {
        {LDAP_OPT_PROTOCOL_VERSION, &version, "the protocol version"},
        // A referral would be followed with no credentials, to a server nobody chose.
        {LDAP_OPT_REFERRALS, LDAP_OPT_OFF, "referrals"},
        {LDAP_OPT_RESTART, &on, "restarts"},
        {LDAP_OPT_NETWORK_TIMEOUT, &timeout, "the network time-out"},
        {LDAP_OPT_TIMEOUT, &timeout, "the time-out"},
        {LDAP_OPT_X_TLS_REQUIRE_CERT, &demand, "certificate checks"},
        {LDAP_OPT_X_TLS_PROTOCOL_MIN, &newest, "the TLS version"},
        {LDAP_OPT_X_TLS_CACERTFILE, ca.isEmpty() ? nullptr : ca.constData(), "the CA file"},
        {LDAP_OPT_CONNECT_CB, connectCallbacks_.get(), "the connection callbacks"},
        // Last: a context of this connection's own, made of the settings above.
        {LDAP_OPT_X_TLS_NEWCTX, &client, "a TLS context"},
    };
    for (const auto& s : settings) {
        if (s.option == LDAP_OPT_X_TLS_CACERTFILE && !s.value)
            continue; // the system's authorities, as libldap finds them
        if (ldap_->ldap_set_option(ld, s.option, s.value) != LDAP_OPT_SUCCESS) {
            *why = QStringLiteral("cannot set %1").arg(QLatin1String(s.what));
            if (s.option == LDAP_OPT_X_TLS_NEWCTX && !ca.isEmpty())
                *why += QStringLiteral(" with the authorities of %1").arg(options_.caFile);
            ldap_->ldap_unbind_ext_s(ld, nullptr, nullptr);
            return nullptr;
        }
    }
    return ld;
}

LDAP* Directory::open(QString* why) const
{
    LDAP* ld = configured(why);
    if (!ld)
        return nullptr;
    const int limit = kOpenTimeouts * options_.timeoutSeconds;
    const OpenWatch::Armed watched(*openWatch_,
                                   OpenWatch::Clock::now() + std::chrono::seconds(limit));
    int rc = ldap_->ldap_connect(ld);
    // An ldap:// address is encrypted before anything else is said; ldaps:// already is.
    if (rc == LDAP_SUCCESS && !ldap_->ldap_tls_inplace(ld))
        rc = ldap_->ldap_start_tls_s(ld, nullptr, nullptr);
    if (rc != LDAP_SUCCESS) {
        *why = describe(ld, rc);
        if (watched.fired())
            *why += QStringLiteral(" (no connection with TLS within %1 s)").arg(limit);
        ldap_->ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    // Taken off for the handshake (see OpenWatch::made): a connection libldap would make again
    // by itself waits no longer than the time-out.
    const timeval timeout{options_.timeoutSeconds, 0};
    ldap_->ldap_set_option(ld, LDAP_OPT_NETWORK_TIMEOUT, &timeout);
    return ld;
}

void Directory::giveBack(LDAP* ld)
{
    {
        QMutexLocker lock(&idleMutex_);
        if (int(idle_.size()) < kMaxIdle) {
            idle_.push_back({ld, clock_.elapsed()});
            return;
        }
    }
    ldap_->ldap_unbind_ext_s(ld, nullptr, nullptr);
}

void Directory::noteAnswered()
{
    const qint64 now = clock_.elapsed();
    lastContact_ = now;
    if (!reachable_.exchange(true))
        log(QStringLiteral("directory: answering again after %1 s")
                .arg((now - downSince_) / 1000.0, 0, 'f', 1));
}

void Directory::noteUnanswered(const QString& why)
{
    const qint64 now = clock_.elapsed();
    {
        QMutexLocker lock(&problemMutex_);
        problem_ = why;
    }
    if (reachable_.exchange(false)) {
        downSince_ = now;
        log(QStringLiteral("directory: cannot be used: %1; log-ons of its users wait for it (a "
                           "fresh verifier still lets them in)")
                .arg(why));
    }
}

QString Directory::problem() const
{
    if (reachable_)
        return {};
    QMutexLocker lock(&problemMutex_);
    return QStringLiteral("not answering for %1 s: %2")
        .arg((clock_.elapsed() - downSince_) / 1000)
        .arg(problem_);
}

void Directory::log(const QString& line)
{
    // The log is written by the thread this object lives on.
    QMetaObject::invokeMethod(
        this, [line] { logLine(line); }, Qt::QueuedConnection);
}

Directory::Step Directory::ask(const std::function<Step(Session&)>& question, QString* note)
{
    if (!ldap_) {
        *note = QStringLiteral("the directory was not started");
        return Step::Unusable;
    }
    for (int attempt = 0;; ++attempt) {
        Session s;
        bool reused = false;
        {
            QMutexLocker lock(&idleMutex_);
            const qint64 now = clock_.elapsed();
            while (!idle_.empty()) {
                const Idle last = idle_.back();
                idle_.pop_back();
                if (now - last.since < kMaxIdleMs) {
                    s.ld = last.ld;
                    reused = true;
                    break;
                }
                ldap_->ldap_unbind_ext_s(last.ld, nullptr, nullptr);
            }
        }
        if (!s.ld && !(s.ld = open(&s.note))) {
            noteUnanswered(s.note);
            *note = s.note;
            return Step::Unusable;
        }
        const Step step = question(s);
        *note = s.note;
        if (step != Step::Unusable) {
            giveBack(s.ld);
            noteAnswered();
            return step;
        }
        ldap_->ldap_unbind_ext_s(s.ld, nullptr, nullptr);
        // A kept connection the directory closed meanwhile: once more on a new one.
        if (reused && attempt == 0 && s.rc == LDAP_SERVER_DOWN)
            continue;
        noteUnanswered(s.note);
        return step;
    }
}

void Directory::probe()
{
    // Reached (with TLS) is answering; the service account is tried too where there is one.
    QString note;
    ask([this](Session& s) { return options_.bindDn.isEmpty() ? Step::Done : bindService(s); },
        &note);
}

Directory::Step Directory::bindAs(Session& s, const QByteArray& dn, const QByteArray& password)
{
    berval credentials = bytes(password);
    s.rc = ldap_->ldap_sasl_bind_s(s.ld, dn.constData(), LDAP_SASL_SIMPLE, &credentials, nullptr,
                                   nullptr, nullptr);
    if (s.rc == LDAP_SUCCESS)
        return Step::Done;
    s.note = describe(s.ld, s.rc);
    // A wrong password, an unknown name, a locked or disabled account, an account without a
    // password: this user is refused. Anything else is no answer about the user.
    if (s.rc == LDAP_INVALID_CREDENTIALS || s.rc == LDAP_INAPPROPRIATE_AUTH ||
        s.rc == LDAP_UNWILLING_TO_PERFORM)
        return Step::Refused;
    return Step::Unusable;
}

Directory::Step Directory::bindService(Session& s)
{
    const Step step = bindAs(s, options_.bindDn.toUtf8(), options_.bindPassword);
    if (step == Step::Refused) {
        s.note =
            QStringLiteral("the service account %1 cannot bind: %2").arg(options_.bindDn, s.note);
        return Step::Unusable; // the directory is of no use, whoever logs on
    }
    return step;
}

Directory::Step Directory::findUser(Session& s, const QString& name, const QByteArray& attribute,
                                    QByteArray* dn, QByteArray* value)
{
    QByteArray filter;
    ldaptext::expand(options_.filter, {{'s', name}}, ldaptext::Escape::FilterValue, &filter);
    const QByteArray wanted = attribute.isEmpty() ? QByteArrayLiteral("1.1") : attribute;
    char* attributes[] = {const_cast<char*>(wanted.constData()), nullptr};
    timeval timeout{options_.timeoutSeconds, 0};
    Result result;
    s.rc = ldap_->ldap_search_ext_s(s.ld, options_.searchBase.toUtf8().constData(),
                                    LDAP_SCOPE_SUBTREE, filter.constData(), attributes, 0, nullptr,
                                    nullptr, &timeout, 2, &result.message);
    if (s.rc != LDAP_SUCCESS && s.rc != LDAP_SIZELIMIT_EXCEEDED) {
        s.note = QStringLiteral("searching %1 for %2: %3")
                     .arg(options_.searchBase, QString::fromUtf8(filter), describe(s.ld, s.rc));
        return Step::Unusable;
    }
    const int found = ldap_->ldap_count_entries(s.ld, result.message);
    if (found != 1) {
        s.note = found == 0 ? QStringLiteral("no entry in the directory")
                            : QStringLiteral("several entries match %1: make the filter match "
                                             "one")
                                  .arg(QString::fromUtf8(filter));
        return Step::Refused;
    }
    LDAPMessage* entry = ldap_->ldap_first_entry(s.ld, result.message);
    char* entryDn = ldap_->ldap_get_dn(s.ld, entry);
    *dn = entryDn ? QByteArray(entryDn) : QByteArray();
    ldap_->ldap_memfree(entryDn);
    if (!attribute.isEmpty())
        *value = firstValue(s.ld, entry, attribute);
    return Step::Done;
}

Directory::Step Directory::readValue(Session& s, const QByteArray& dn, const QByteArray& attribute,
                                     QByteArray* value)
{
    char* attributes[] = {const_cast<char*>(attribute.constData()), nullptr};
    timeval timeout{options_.timeoutSeconds, 0};
    Result result;
    s.rc = ldap_->ldap_search_ext_s(s.ld, dn.constData(), LDAP_SCOPE_BASE, "(objectClass=*)",
                                    attributes, 0, nullptr, nullptr, &timeout, 1, &result.message);
    value->clear();
    if (s.rc == LDAP_NO_SUCH_OBJECT)
        return Step::Done; // an entry gone has no value
    if (s.rc != LDAP_SUCCESS) {
        s.note =
            QStringLiteral("reading %1 of %2: %3")
                .arg(QString::fromUtf8(attribute), QString::fromUtf8(dn), describe(s.ld, s.rc));
        return Step::Unusable;
    }
    if (LDAPMessage* entry = ldap_->ldap_first_entry(s.ld, result.message))
        *value = firstValue(s.ld, entry, attribute);
    return Step::Done;
}

Directory::Step Directory::isMember(Session& s, const QByteArray& dn, const QString& name,
                                    int level, bool* member)
{
    *member = false;
    const QString& group = options_.groups[std::size_t(level - 1)];
    if (group.isEmpty())
        return Step::Done;
    const QByteArray groupDn = group.toUtf8();
    if (options_.memberFilter.isEmpty()) {
        // On the group: is the DN one of its members?
        berval value = bytes(dn);
        s.rc = ldap_->ldap_compare_ext_s(s.ld, groupDn.constData(),
                                         options_.memberAttribute.toUtf8().constData(), &value,
                                         nullptr, nullptr);
        if (s.rc == LDAP_COMPARE_TRUE || s.rc == LDAP_COMPARE_FALSE) {
            *member = s.rc == LDAP_COMPARE_TRUE;
            return Step::Done;
        }
        // A group without members, or without that attribute, has not this one.
        if (s.rc == LDAP_NO_SUCH_ATTRIBUTE || s.rc == LDAP_UNDEFINED_TYPE)
            return Step::Done;
    } else {
        // On the user's entry: does the filter match it?
        QByteArray filter;
        ldaptext::expand(options_.memberFilter, {{'g', group}, {'s', name}},
                         ldaptext::Escape::FilterValue, &filter);
        char* attributes[] = {const_cast<char*>("1.1"), nullptr};
        timeval timeout{options_.timeoutSeconds, 0};
        Result result;
        s.rc =
            ldap_->ldap_search_ext_s(s.ld, dn.constData(), LDAP_SCOPE_BASE, filter.constData(),
                                     attributes, 0, nullptr, nullptr, &timeout, 1, &result.message);
        if (s.rc == LDAP_SUCCESS) {
            *member = ldap_->ldap_count_entries(s.ld, result.message) > 0;
            return Step::Done;
        }
        if (s.rc == LDAP_NO_SUCH_OBJECT)
            return Step::Done;
    }
    // A missing group, no right to read it: the directory is not set up as the options say,
    // and answers nobody rightly until it is.
    s.note = QStringLiteral("looking %1 up in the level %2 group %3: %4")
                 .arg(QString::fromUtf8(dn))
                 .arg(level)
                 .arg(group, describe(s.ld, s.rc));
    return Step::Unusable;
}

Directory::Step Directory::supervisorOf(Session& s, const QString& name,
                                        const QByteArray& managerDn, QString* supervisor)
{
    supervisor->clear();
    QByteArray value;
    Step step = readValue(s, managerDn, options_.nameAttribute.toUtf8(), &value);
    if (step != Step::Done || value.isEmpty())
        return step;
    const QString manager = normalizeUserName(QString::fromUtf8(value));
    if (!isValidUserName(manager) || manager == normalizeUserName(name))
        return Step::Done;
    // A supervisor is a level 2 user: one of that group, and of none higher.
    bool member = false;
    if ((step = isMember(s, managerDn, manager.toLower(), 1, &member)) != Step::Done || member)
        return step;
    if ((step = isMember(s, managerDn, manager.toLower(), 2, &member)) != Step::Done || !member)
        return step;
    *supervisor = manager;
    return Step::Done;
}

Directory::Step Directory::userDn(Session& s, const QString& name, QByteArray* dn)
{
    if (!options_.searches()) {
        ldaptext::expand(options_.bindPattern, {{'s', name}}, ldaptext::Escape::DnValue, dn);
        return Step::Done;
    }
    const Step step = bindService(s);
    if (step != Step::Done)
        return step;
    QByteArray unused;
    return findUser(s, name, {}, dn, &unused);
}

Directory::Step Directory::checkOn(Session& s, const QString& name, const QByteArray& password,
                                   Answer* answer)
{
    const QByteArray supervisorAttribute = options_.supervisorAttribute.toUtf8();
    QByteArray dn;
    QByteArray managerDn;
    Step step;
    if (options_.searches()) {
        // Found as the service account (or anonymously), which then reads the groups; the
        // user's own bind comes last and decides.
        if ((step = bindService(s)) != Step::Done ||
            (step = findUser(s, name, supervisorAttribute, &dn, &managerDn)) != Step::Done)
            return step;
    } else {
        // Bound as the user first: the reads are made as the user, or as the service account
        // when there is one.
        ldaptext::expand(options_.bindPattern, {{'s', name}}, ldaptext::Escape::DnValue, &dn);
        if ((step = bindAs(s, dn, password)) != Step::Done)
            return step;
        if (!options_.bindDn.isEmpty() && (step = bindService(s)) != Step::Done)
            return step;
    }
    // The highest place in the organisation wins: level 1 before 2 before 3.
    for (int level = 1; level <= 3 && answer->level == 0; ++level) {
        bool member = false;
        if ((step = isMember(s, dn, name, level, &member)) != Step::Done)
            return step;
        if (member)
            answer->level = level;
    }
    if (answer->level == 0) {
        s.note = QStringLiteral("in none of the level groups");
        return Step::Refused;
    }
    if (answer->level == 3 && !supervisorAttribute.isEmpty()) {
        if (!options_.searches() &&
            (step = readValue(s, dn, supervisorAttribute, &managerDn)) != Step::Done)
            return step;
        if (!managerDn.isEmpty() &&
            (step = supervisorOf(s, name, managerDn, &answer->supervisor)) != Step::Done)
            return step;
    }
    if (options_.searches() && (step = bindAs(s, dn, password)) != Step::Done)
        return step;
    return Step::Done;
}

Directory::Answer Directory::check(const QString& rawName, const QByteArray& password)
{
    Answer answer;
    const QString account = normalizeUserName(rawName);
    // Refused before any question: a name no account can have (nothing of it reaches a DN or
    // a filter), and an empty password, which a directory takes as an anonymous bind.
    if (!isValidUserName(account) || password.isEmpty()) {
        answer.kind = Answer::Kind::Refused;
        answer.note = password.isEmpty() ? QStringLiteral("an empty password")
                                         : QStringLiteral("not an account name");
        return answer;
    }
    if (!reachable_) {
        answer.note = problem();
        metrics::count(metrics::Counter::DirectoryUnanswered);
        return answer;
    }
    // Directories compare these names without regard to case; theirs are mostly lower case.
    const QString name = account.toLower();
    const Step step = ask(
        [&](Session& s) {
            answer = Answer();
            return checkOn(s, name, password, &answer);
        },
        &answer.note);
    switch (step) {
    case Step::Done:
        answer.kind = Answer::Kind::Accepted;
        answer.note.clear();
        metrics::count(metrics::Counter::DirectoryAccepted);
        break;
    case Step::Refused:
        answer.kind = Answer::Kind::Refused;
        answer.level = 0;
        metrics::count(metrics::Counter::DirectoryRefused);
        break;
    case Step::Unusable:
        answer.kind = Answer::Kind::Unanswered;
        metrics::count(metrics::Counter::DirectoryUnanswered);
        break;
    }
    return answer;
}

Directory::Change Directory::changePassword(const QString& rawName, const QByteArray& oldPassword,
                                            const QByteArray& newPassword, QString* note)
{
    const QString account = normalizeUserName(rawName);
    if (!isValidUserName(account) || oldPassword.isEmpty() || newPassword.isEmpty()) {
        *note = QStringLiteral("not an account name, or an empty password");
        return Change::Refused;
    }
    if (!reachable_) {
        *note = problem();
        return Change::Unanswered;
    }
    const QString name = account.toLower();
    bool wrongPassword = false;
    const Step step = ask(
        [&](Session& s) {
            QByteArray dn;
            Step step;
            if ((step = userDn(s, name, &dn)) != Step::Done)
                return step;
            if ((step = bindAs(s, dn, oldPassword)) != Step::Done) {
                wrongPassword = step == Step::Refused;
                return step;
            }
            // As the user, who proves the old password once more.
            berval user = bytes(dn);
            berval before = bytes(oldPassword);
            berval after = bytes(newPassword);
            berval generated{0, nullptr};
            s.rc = ldap_->ldap_passwd_s(s.ld, &user, &before, &after, &generated, nullptr, nullptr);
            ldap_->ber_memfree(generated.bv_val);
            if (s.rc == LDAP_SUCCESS)
                return Step::Done;
            s.note = describe(s.ld, s.rc);
            // The directory's rules for passwords (length, history, age), or its rights.
            if (s.rc == LDAP_CONSTRAINT_VIOLATION || s.rc == LDAP_UNWILLING_TO_PERFORM ||
                s.rc == LDAP_INSUFFICIENT_ACCESS || s.rc == LDAP_PROTOCOL_ERROR ||
                s.rc == LDAP_UNAVAILABLE_CRITICAL_EXTENSION || s.rc == LDAP_OBJECT_CLASS_VIOLATION)
                return Step::Refused;
            return Step::Unusable;
        },
        note);
    switch (step) {
    case Step::Done:
        return Change::Changed;
    case Step::Refused:
        return wrongPassword ? Change::WrongPassword : Change::Refused;
    case Step::Unusable:
        break;
    }
    return Change::Unanswered;
}

} // namespace wispline::server
