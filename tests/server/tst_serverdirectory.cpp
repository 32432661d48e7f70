// Users signing in against an organisation's directory: a real slapd, made for the test with a
// few users, three level groups and a throwaway authority, asked by the real server over
// StartTLS or LDAPS. As root both run in a network namespace of their own.
#include "ServerHarness.h"

#include <QDir>
#include <QHostAddress>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace wispline::server::test;
using namespace Qt::StringLiterals;

namespace
{

const QString kBase = u"dc=example,dc=org"_s;
const QString kPeople = u"ou=people,dc=example,dc=org"_s;
const QString kGroups = u"ou=groups,dc=example,dc=org"_s;

QString userDn(const QString& uid)
{
    return u"uid=%1,%2"_s.arg(uid, kPeople);
}

QString groupDn(int level)
{
    return u"cn=level%1,%2"_s.arg(level).arg(kGroups);
}

// Each user: uid, password, the levels whose groups hold it, its manager's uid.
struct Person {
    const char* uid;
    const char* password;
    QList<int> levels;
    const char* manager;
};
const Person kPeopleInTheDirectory[] = {
    {"alice", "alice1", {1, 3}, ""}, // in two groups: level 1 wins
    {"bob", "bob2", {2}, ""},         {"carol", "carol3", {3}, "bob"},
    {"dave", "dave0", {}, ""},        // in no group
    {"erin", "erin3", {3}, "alice"},  // her manager is level 1: no supervisor
    {"fred", "fred3", {3}, "bob"},    // changes his password
    {"gina", "gina2", {2}, ""},       // changes hers, with the change turned off
    {"hank", "hank3", {3}, "nobody"}, // his manager is no entry
    {"ivy", "ivy2", {2}, ""},         // her password is changed by an administrator
};

// Whether something listens on the loopback port: a connection is accepted (or refused) at once.
bool accepts(quint16 port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return connected;
}

// The processor time a process has used so far, in clock ticks.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    // After the name: state (field 3) ... utime (14), stime (15).
    const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return f.size() > 12 ? f[11].toLongLong() + f[12].toLongLong() : -1;
}

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QString run(const QString& program, const QStringList& arguments, const QByteArray& input = {},
            int* exitCode = nullptr,
            const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(environment);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, arguments);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(kWaitMs);
    if (exitCode)
        *exitCode = exitCodeOf(p);
    return QString::fromUtf8(p.readAll());
}

// A throwaway slapd: its configuration, data and log in a folder of the test's, listening on
// 127.0.0.1 for ldap:// (StartTLS, which every operation needs) and ldaps://.
class Slapd
{
public:
    QString program = QStandardPaths::findExecutable(u"slapd"_s, {u"/usr/sbin"_s, u"/sbin"_s});

    // The folder holds ca.pem and the certificates of makeCertificates().
    bool prepare(const QString& folder, quint16 port, quint16 securePort)
    {
        folder_ = folder;
        port_ = port;
        securePort_ = securePort;
        return !program.isEmpty() && write(u"data.ldif"_s, ldif());
    }

    // (Re)starts it with a fresh copy of the data and the certificate NAME.pem (empty: none,
    // and no TLS); true once it listens.
    bool start(const QString& certificate = u"good"_s, bool freshData = true)
    {
        stop();
        const QString db = folder_ + u"/slapd-db"_s;
        if (freshData) {
            QDir(db).removeRecursively();
            QDir().mkpath(db);
        }
        if (!write(u"slapd.conf"_s, configuration(certificate)))
            return false;
        if (freshData) {
            int status = -1;
            const QString out =
                run(QStandardPaths::findExecutable(u"slapadd"_s, {u"/usr/sbin"_s, u"/sbin"_s}),
                    {u"-f"_s, conf(), u"-l"_s, folder_ + u"/data.ldif"_s}, {}, &status);
            if (status != 0) {
                qWarning("slapadd: %s", qPrintable(out));
                return false;
            }
        }
        log_.clear();
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        QStringList urls{u"ldap://127.0.0.1:%1/"_s.arg(port_)};
        if (!certificate.isEmpty())
            urls << u"ldaps://127.0.0.1:%1/"_s.arg(securePort_);
        process_.start(program, {u"-f"_s, conf(), u"-h"_s, urls.join(u' '), u"-d"_s, u"stats"_s});
        // It says it starts just before it listens.
        return waitFor([&] {
                   return (log().contains("slapd starting"_L1) && accepts(port_)) ||
                          process_.state() == QProcess::NotRunning;
               }) &&
               running();
    }

    void stop()
    {
        if (running()) {
            process_.terminate();
            process_.waitForFinished(kWaitMs);
        }
    }
    void signal(int number)
    {
        if (running())
            ::kill(pid_t(process_.processId()), number);
    }
    // SIGSTOP, and waits until every thread has stopped: the signal wakes one of them, which
    // stops the others, and on a busy machine the rest go on answering meanwhile.
    bool hang()
    {
        signal(SIGSTOP);
        const QString tasks = u"/proc/%1/task"_s.arg(process_.processId());
        return waitFor([&] {
            const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            return !threads.isEmpty() &&
                   std::all_of(threads.cbegin(), threads.cend(), [&](const QString& t) {
                       QFile stat(tasks + u'/' + t + u"/stat"_s);
                       const QByteArray line =
                           stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
                       return line.mid(line.lastIndexOf(')') + 2, 1) == "T";
                   });
        });
    }
    // Connections made to it and not yet accepted (it accepts none while stopped).
    int waitingConnections(bool secure) const
    {
        QFile tcp(u"/proc/self/net/tcp"_s);
        if (!tcp.open(QIODevice::ReadOnly))
            return -1;
        // "sl local_address rem_address st tx_queue:rx_queue ...": a listening socket (0A)
        // counts its waiting connections in rx_queue.
        const QByteArray local =
            "0100007F:" +
            QByteArray::number(secure ? securePort_ : port_, 16).toUpper().rightJustified(4, '0');
        for (const QByteArray& line : tcp.readAll().split('\n')) {
            const QList<QByteArray> f = line.simplified().split(' ');
            if (f.size() > 4 && f[1] == local && f[3] == "0A")
                return f[4].mid(f[4].indexOf(':') + 1).toInt(nullptr, 16);
        }
        return -1;
    }
    bool running() const { return process_.state() == QProcess::Running; }
    ~Slapd() { stop(); }

    QString log()
    {
        log_ += QString::fromUtf8(process_.readAll());
        return log_;
    }
    // Waits until the directory has handled a search for this marker: everything asked before
    // it is in the log then.
    bool mark(const QString& marker)
    {
        // Whatever certificate it serves, and without TLS where it has none.
        QProcessEnvironment e = tls();
        e.insert(u"LDAPTLS_REQCERT"_s, u"never"_s);
        int status = -1;
        const QString out = run(
            u"ldapsearch"_s,
            {u"-x"_s, u"-Z"_s, u"-H"_s, url(), u"-b"_s, kBase, u"(cn=%1)"_s.arg(marker), u"1.1"_s},
            {}, &status, e);
        if (status != 0)
            qWarning("ldapsearch: %s", qPrintable(out));
        return waitFor([&] { return log().contains(u"filter=\"(cn=%1)\""_s.arg(marker)); });
    }

    QString url(bool secure = false) const
    {
        return secure ? u"ldaps://127.0.0.1:%1"_s.arg(securePort_)
                      : u"ldap://127.0.0.1:%1"_s.arg(port_);
    }
    QString ca() const { return folder_ + u"/ca.pem"_s; }

    // The exit status of ldapwhoami as dn with password, over StartTLS: 0 for a good password,
    // 49 for a wrong one.
    int whoAmI(const QString& dn, const QString& password)
    {
        int status = -1;
        const QString out =
            run(u"ldapwhoami"_s, tool({u"-D"_s, dn, u"-w"_s, password}), {}, &status, tls());
        if (status != 0 && status != 49)
            qWarning("ldapwhoami: %s", qPrintable(out));
        return status;
    }
    // As the directory's administrator.
    bool modify(const QString& ldif)
    {
        int status = -1;
        const QString out =
            run(u"ldapmodify"_s, tool({u"-D"_s, u"cn=admin,"_s + kBase, u"-w"_s, u"secret"_s}),
                ldif.toUtf8(), &status, tls());
        if (status != 0)
            qWarning("ldapmodify: %s", qPrintable(out));
        return status == 0;
    }

private:
    QString conf() const { return folder_ + u"/slapd.conf"_s; }
    QStringList tool(const QStringList& more) const
    {
        return QStringList{u"-x"_s, u"-ZZ"_s, u"-H"_s, url()} + more;
    }
    QProcessEnvironment tls() const
    {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(u"LDAPTLS_CACERT"_s, ca());
        return e;
    }
    bool write(const QString& name, const QString& text) const
    {
        QFile f(folder_ + u'/' + name);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text.toUtf8()) >= 0;
    }

    QString configuration(const QString& certificate) const
    {
        QString c = u"include /etc/ldap/schema/core.schema\n"
                    "include /etc/ldap/schema/cosine.schema\n"
                    "include /etc/ldap/schema/inetorgperson.schema\n"
                    "modulepath /usr/lib/ldap\n"
                    "moduleload back_mdb\nmoduleload memberof\nmoduleload ppolicy\n"
                    "pidfile %1/slapd.pid\n"_s.arg(folder_);
        if (!certificate.isEmpty())
            c += u"TLSCACertificateFile %1/ca.pem\nTLSCertificateFile %1/%2.pem\n"
                 "TLSCertificateKeyFile %1/%2.key\nsecurity tls=1\n"_s.arg(folder_, certificate);
        c += u"database mdb\nsuffix \"%1\"\nrootdn \"cn=admin,%1\"\nrootpw secret\n"
             "directory %2/slapd-db\n"
             "overlay memberof\n"
             // New passwords are six characters at least.
             "overlay ppolicy\nppolicy_default \"cn=policy,%1\"\n"
             "access to attrs=userPassword by self write by anonymous auth by * none\n"
             "access to * by * read\n"_s.arg(kBase, folder_);
        return c;
    }

    static QString ldif()
    {
        QString l = u"dn: %1\nobjectClass: dcObject\nobjectClass: organization\no: Example\n"
                    "dc: example\n\n"
                    "dn: %2\nobjectClass: organizationalUnit\nou: people\n\n"
                    "dn: %3\nobjectClass: organizationalUnit\nou: groups\n\n"
                    "dn: cn=reader,%1\nobjectClass: organizationalRole\n"
                    "objectClass: simpleSecurityObject\ncn: reader\nuserPassword: reader-pw\n\n"
                    "dn: cn=policy,%1\nobjectClass: organizationalRole\nobjectClass: pwdPolicy\n"
                    "cn: policy\npwdAttribute: userPassword\npwdMinLength: 6\n"
                    "pwdCheckQuality: 1\n\n"_s.arg(kBase, kPeople, kGroups);
        for (const Person& p : kPeopleInTheDirectory) {
            const QString uid = QLatin1String(p.uid);
            l += u"dn: %1\nobjectClass: inetOrgPerson\nuid: %2\ncn: %2\nsn: %2\n"
                 "userPassword: %3\n"_s.arg(userDn(uid), uid, QLatin1String(p.password));
            if (*p.manager)
                l += u"manager: %1\n"_s.arg(userDn(QLatin1String(p.manager)));
            // Kept by the memberof overlay once slapd runs; given here for the first load.
            for (int level : p.levels)
                l += u"memberOf: %1\n"_s.arg(groupDn(level));
            l += u'\n';
        }
        for (int level = 1; level <= 3; ++level) {
            // A group of names has one at least: the administrator stays in each.
            l += u"dn: %1\nobjectClass: groupOfNames\ncn: level%2\nmember: cn=admin,%3\n"_s
                     .arg(groupDn(level))
                     .arg(level)
                     .arg(kBase);
            for (const Person& p : kPeopleInTheDirectory) {
                if (p.levels.contains(level))
                    l += u"member: %1\n"_s.arg(userDn(QLatin1String(p.uid)));
            }
            l += u'\n';
        }
        return l;
    }

    QString folder_;
    quint16 port_ = 0;
    quint16 securePort_ = 0;
    QProcess process_;
    QString log_;
};

} // namespace

class TestServerDirectory : public QObject
{
    Q_OBJECT

    QTemporaryDir dir_;
    Slapd slapd_;
    int databases_ = 0;

    // How the server finds users: by a DN pattern, or by a search as a service account whose
    // password comes from a file or the environment, or with a filter that finds BOB besides
    // the name; the groups list their members, or the users' entries list their groups
    // (memberOf).
    enum Mode { Pattern, Search, SearchFromEnvironment, SearchWithBob, MemberOf, Ldaps };

    QStringList directory(Mode mode, const QStringList& more = {}) const
    {
        QStringList o{u"--ldap"_s, slapd_.url(mode == Ldaps), u"--ldap-ca"_s, slapd_.ca()};
        for (int level = 1; level <= 3; ++level)
            o << u"--ldap-level%1-group"_s.arg(level) << groupDn(level);
        switch (mode) {
        case Pattern:
        case Ldaps:
            o << u"--ldap-bind-pattern"_s << userDn(u"%s"_s);
            break;
        case MemberOf:
            o << u"--ldap-bind-pattern"_s << userDn(u"%s"_s) << u"--ldap-member-filter"_s
              << u"(memberOf=%g)"_s;
            break;
        case Search:
        case SearchFromEnvironment:
            o << u"--ldap-search-base"_s << kPeople << u"--ldap-filter"_s
              << u"(&(objectClass=inetOrgPerson)(uid=%s))"_s << u"--ldap-bind-dn"_s
              << u"cn=reader,"_s + kBase;
            if (mode == Search)
                o << u"--ldap-password-file"_s << dir_.filePath(u"reader.password"_s);
            break;
        case SearchWithBob:
            o << u"--ldap-search-base"_s << kPeople << u"--ldap-filter"_s
              << u"(|(uid=%s)(uid=bob))"_s << u"--ldap-bind-dn"_s << u"cn=reader,"_s + kBase
              << u"--ldap-password-file"_s << dir_.filePath(u"reader.password"_s);
            break;
        }
        return o + more;
    }

    QString newDatabase() { return dir_.filePath(u"directory-%1.db"_s.arg(++databases_)); }

    // The account as stored: level, supervisor, whether of the directory; empty when none.
    static QVariantList stored(const QString& database, const QString& name)
    {
        return sqlRow(database,
                      u"SELECT level, supervisor, directory FROM accounts WHERE name = ?"_s,
                      {name});
    }

private slots:
    void initTestCase()
    {
        QVERIFY(!slapd_.program.isEmpty());
        // As root, in a network namespace of its own: the directory's ports are its own.
        quint16 port = 3389;
        quint16 securePort = 3636;
        if (::geteuid() == 0 && ::unshare(CLONE_NEWNET) == 0) {
            QVERIFY(loopbackUp());
        } else {
            port = freePort();
            securePort = freePort();
        }
        QVERIFY(dir_.isValid());
        const QString made = makeCertificates(dir_.path());
        QVERIFY2(made.isEmpty(), qPrintable(made));
        QFile password(dir_.filePath(u"reader.password"_s));
        QVERIFY(password.open(QIODevice::WriteOnly));
        password.write("reader-pw\n");
        password.close();
        QFile::setPermissions(password.fileName(), QFile::ReadOwner | QFile::WriteOwner);
        QVERIFY(slapd_.prepare(dir_.path(), port, securePort));
        QVERIFY2(slapd_.start(), qPrintable(slapd_.log()));
        qputenv("WISPLINE_LDAP_PASSWORD", "reader-pw"); // for SearchFromEnvironment only
    }

    void init()
    {
        if (!slapd_.running() || slapd_.log().size() > 1000000)
            QVERIFY2(slapd_.start(), qPrintable(slapd_.log()));
    }

    // Who gets in, at which level and with which supervisor, however the directory is asked.
    void signIn_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<int>("level"); // 0: refused
        QTest::addColumn<QString>("supervisor");
        const auto row = [](const char* tag, Mode mode, const char* name, const char* password,
                            int level, const char* supervisor = "") {
            QTest::newRow(tag) << int(mode) << QString(name) << QString(password) << level
                               << QString(supervisor);
        };
        row("pattern: in the groups of levels 1 and 3, level 1", Pattern, "ALICE", "alice1", 1);
        row("pattern: level 2", Pattern, "BOB", "bob2", 2);
        row("pattern: level 3, the manager supervises", Pattern, "CAROL", "carol3", 3, "BOB");
        row("pattern: a level 1 manager supervises nobody", Pattern, "ERIN", "erin3", 3);
        row("pattern: a manager with no entry supervises nobody", Pattern, "HANK", "hank3", 3);
        row("pattern: in no group", Pattern, "DAVE", "dave0", 0);
        row("pattern: wrong password", Pattern, "CAROL", "carol2", 0);
        row("pattern: no such user", Pattern, "ZED", "carol3", 0);
        row("search: level 1", Search, "ALICE", "alice1", 1);
        row("search: level 3, the manager supervises", Search, "CAROL", "carol3", 3, "BOB");
        row("search: in no group", Search, "DAVE", "dave0", 0);
        row("search: wrong password", Search, "BOB", "bob3", 0);
        row("search: no such user", Search, "ZED", "bob2", 0);
        row("search, its password from the environment", SearchFromEnvironment, "BOB", "bob2", 2);
        // A search must find the one entry: two are no answer about the user.
        row("search: one entry found", SearchWithBob, "BOB", "bob2", 2);
        row("search: two entries found, the right password", SearchWithBob, "ALICE", "alice1", 0);
        row("memberOf: level 1", MemberOf, "ALICE", "alice1", 1);
        row("memberOf: level 3, the manager supervises", MemberOf, "CAROL", "carol3", 3, "BOB");
        row("memberOf: in no group", MemberOf, "DAVE", "dave0", 0);
        row("ldaps: level 2", Ldaps, "BOB", "bob2", 2);
        // A name is never more than a name: with the right password of a user, these find
        // nobody (no account may hold such characters, and each is escaped besides).
        row("search: a star for a name", Search, "*", "alice1", 0);
        row("search: a name that closes the filter", Search, "ALICE)(UID=*", "alice1", 0);
        row("search: a name that widens the filter", Search, "*)(|(UID=*", "alice1", 0);
        row("pattern: a star for a name", Pattern, "*", "alice1", 0);
        row("pattern: a name that adds to the DN", Pattern, "ALICE,OU=PEOPLE", "alice1", 0);
        // An empty password binds anonymously, which proves nothing.
        row("pattern: an empty password", Pattern, "ALICE", "", 0);
        row("search: an empty password", Search, "BOB", "", 0);
    }

    void signIn()
    {
        QFETCH(int, mode);
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(int, level);
        QFETCH(QString, supervisor);
        const QString database = newDatabase();
        ServerProcess server;
        QVERIFY(server.start(database, directory(Mode(mode)), true));
        const qsizetype seen = slapd_.log().size();
        WireClient client;
        QVERIFY(client.connectTo(server.port()));
        const WireClient::Fields answer = client.logOn(name, password);
        QCOMPARE(answer.value(0), level ? u"LIU"_s : u"Invalid"_s);
        QCOMPARE(answer.value(1), level ? name : u"Invalid user name or password."_s);
        if (level) {
            QCOMPARE(answer.value(2), QString::number(level));
            QCOMPARE(stored(database, name), (QVariantList{level, supervisor, 1}));
        } else {
            QVERIFY(stored(database, name).isEmpty());
        }
        // What was never a name, and an empty password, never reached the directory; a search
        // that found two entries bound as neither.
        const bool asked = !password.isEmpty() && !name.contains(QRegularExpression(u"[*(),]"_s));
        const bool userBound = asked && !(Mode(mode) == SearchWithBob && !level);
        QVERIFY(slapd_.mark(u"after-%1"_s.arg(databases_)));
        const QString log = slapd_.log().mid(seen);
        QVERIFY2(userBound || !log.contains(u"BIND dn=\"uid="_s), qPrintable(log));
        QVERIFY2(asked || !log.contains(u"(uid="_s), qPrintable(log));
        QCOMPARE(server.stop(), 0);
    }

    // A local account with its own password wins over the directory's user of the name (an
    // administrator gets in while the directory is down); once handed over to the directory,
    // the directory's password and level count.
    void aLocalAccountWins()
    {
        const QString database = newDatabase();
        QCOMPARE(addUser(database, {u"BOB"_s, u"local-bob"_s, u"1"_s}).exitCode, 0);
        ServerProcess server;
        QVERIFY(server.start(database, directory(Pattern), true));
        WireClient directoryPassword;
        QVERIFY(directoryPassword.connectTo(server.port()));
        QCOMPARE(directoryPassword.logOn(u"BOB"_s, u"bob2"_s).value(0), u"Invalid"_s);
        slapd_.stop();
        WireClient local;
        QVERIFY(local.connectTo(server.port()));
        QCOMPARE(local.logOn(u"BOB"_s, u"local-bob"_s),
                 (WireClient::Fields{"LIU", "BOB", "1", "ExitEnd"}));
        QVERIFY(slapd_.start());
        QCOMPARE(server.stop(), 0);

        const AdminResult handed = runAdmin(database, {u"--use-directory"_s, u"BOB"_s});
        QVERIFY2(handed.exitCode == 0, qPrintable(handed.err));
        QVERIFY(server.start(database, directory(Pattern), true));
        WireClient again;
        QVERIFY(again.connectTo(server.port()));
        QCOMPARE(again.logOn(u"BOB"_s, u"local-bob"_s).value(0), u"Invalid"_s);
        QCOMPARE(again.logOn(u"BOB"_s, u"bob2"_s),
                 (WireClient::Fields{"LIU", "BOB", "2", "ExitEnd"}));
        QCOMPARE(server.stop(), 0);
        QCOMPARE(runAdmin(database, {u"--list-users"_s}).out, u"BOB 2 (directory)\n"_s);
    }

    // While the directory does not answer, stopped or hung, a user with a fresh verifier logs on,
    // and so does a local account; another directory user waits, is never refused, and is let in
    // once the directory is back. Readiness stays (the server's own accounts and the verifiers
    // still work) and says so, as the metrics do. A silent LDAPS directory holds a connection's
    // TLS handshake, which libldap's network time-out does not end; the server waits for it
    // without keeping a core busy.
    void theDirectoryDown_data()
    {
        QTest::addColumn<int>("stop");
        QTest::addColumn<bool>("secure");
        QTest::newRow("stopped") << SIGTERM << false;
        QTest::newRow("hung") << SIGSTOP << false;
        QTest::newRow("ldaps: hung") << SIGSTOP << true;
    }

    void theDirectoryDown()
    {
        QFETCH(int, stop);
        QFETCH(bool, secure);
        const QString database = newDatabase();
        QCOMPARE(addUser(database, {u"ADMIN"_s, u"admin-pw"_s, u"1"_s}).exitCode, 0);
        const QStringList options =
            directory(secure ? Ldaps : Pattern,
                      {u"--ldap-timeout"_s, u"1"_s, u"--admin"_s, u"127.0.0.1:0"_s});
        ServerProcess server;
        QVERIFY(server.start(database, options, true));
        WireClient first;
        QVERIFY(first.logOnAt(server.port(), u"ALICE"_s, u"alice1"_s));
        // Started again: the verifier, kept in the database, is all it has of that log-on.
        QCOMPARE(server.stop(), 0);
        QVERIFY(server.start(database, options, true));

        auto resume = qScopeGuard([&] { slapd_.signal(SIGCONT); });
        if (stop == SIGTERM)
            slapd_.stop();
        else
            QVERIFY(slapd_.hang());
        // What both sides said, shown whole when a check from here on fails.
        const auto logs = qScopeGuard([&] {
            if (QTest::currentTestFailed())
                qWarning("server:\n%s\ndirectory:\n%s", qPrintable(server.output()),
                         qPrintable(slapd_.log().right(20000)));
        });
        WireClient again;
        QVERIFY(again.connectTo(server.port()));
        QCOMPARE(again.logOn(u"ALICE"_s, u"alice1"_s).value(0), u"LIU"_s);
        WireClient waiting;
        QVERIFY(waiting.connectTo(server.port()));
        waiting.send("LIU~BOB~bob2~1.1.1~00-11-22-33-44-55");
        QVERIFY(waitFor([&] { return server.output().contains("log-on of BOB held"_L1); }));
        QVERIFY(waiting.messages().isEmpty());
        WireClient local;
        QVERIFY(local.connectTo(server.port()));
        QCOMPARE(local.logOn(u"ADMIN"_s, u"admin-pw"_s).value(0), u"LIU"_s);
        QByteArray metrics;
        QVERIFY(waitFor([&] {
            metrics = HttpRequest(server.adminPort(), "/metrics").body();
            return metrics.contains("\nwispline_directory_up 0\n");
        }));
        QVERIFY(metrics.contains("wispline_directory_checks_total{result=\"unanswered\"}"));
        QVERIFY(metrics.contains("wispline_password_checks_total{kind=\"verifier\"} 1\n"));
        HttpRequest ready(server.adminPort(), "/readyz");
        QCOMPARE(ready.status(), 200);
        QVERIFY2(ready.body().startsWith("ready\ndirectory not answering for "),
                 ready.body().constData());

        if (stop == SIGSTOP) {
            // Each look at the silent directory leaves one connection in its queue. Between two
            // new ones a look has waited out its whole time, and waiting costs no processor
            // time (libldap retries a handshake without pause while a network time-out is set).
            const int queued = slapd_.waitingConnections(secure);
            QVERIFY(queued >= 0);
            const qint64 cpu = cpuTicks(server.pid());
            QVERIFY(waitFor([&] { return slapd_.waitingConnections(secure) >= queued + 2; }));
            const qint64 used = cpuTicks(server.pid()) - cpu;
            QVERIFY2(used < ::sysconf(_SC_CLK_TCK) / 2, qPrintable(u"%1 ticks of CPU"_s.arg(used)));
        }
        if (stop == SIGTERM)
            QVERIFY(slapd_.start(u"good"_s, false));
        else
            slapd_.signal(SIGCONT);
        QCOMPARE(waiting.take(u"LIU"_s).value(2), u"2"_s);
        QVERIFY(waiting.received(u"Invalid"_s).isEmpty());
        QVERIFY(waitFor(
            [&] { return HttpRequest(server.adminPort(), "/readyz").body() == "ready\n"; }));
        QCOMPARE(server.stop(), 0);
    }

    // A change in the directory reaches the log-ons once a verifier is past the recheck time (at
    // once with 0 hours): a new level is stored, and the verifier made with the old one answers
    // no more; while the directory is down, the one made with the new level lets the user in.
    void aNewLevelInTheDirectoryReplacesTheVerifier()
    {
        const QString database = newDatabase();
        ServerProcess server;
        const QStringList options =
            directory(Pattern, {u"--ldap-recheck-hours"_s, u"0"_s, u"--ldap-timeout"_s, u"1"_s});
        // Each step on a server started again: nothing of the step before is in its memory.
        const auto restart = [&] {
            return server.stop() == 0 && server.start(database, options, true);
        };
        QVERIFY(server.start(database, options, true));
        WireClient before;
        QVERIFY(before.connectTo(server.port()));
        QCOMPARE(before.logOn(u"ALICE"_s, u"alice1"_s).value(2), u"1"_s);
        QVERIFY(slapd_.modify(u"dn: %1\nchangetype: modify\ndelete: member\nmember: %2\n"_s.arg(
            groupDn(1), userDn(u"alice"_s))));
        QVERIFY(restart());
        WireClient after;
        QVERIFY(after.connectTo(server.port()));
        QCOMPARE(after.logOn(u"ALICE"_s, u"alice1"_s).value(2), u"3"_s);
        QCOMPARE(stored(database, u"ALICE"_s).value(0), 3);
        QVERIFY(
            server.output().contains("account ALICE: the directory now gives level 3 (was 1)"_L1));
        slapd_.stop();
        QVERIFY(restart());
        WireClient down;
        QVERIFY(down.connectTo(server.port()));
        QCOMPARE(down.logOn(u"ALICE"_s, u"alice1"_s).value(2), u"3"_s);
        // A wrong password finds no verifier to match while the directory is down: it waits.
        WireClient wrong;
        QVERIFY(wrong.connectTo(server.port()));
        wrong.send("LIU~ALICE~alice2~1.1.1~00-11-22-33-44-55");
        QVERIFY(waitFor([&] { return server.output().contains("log-on of ALICE held"_L1); }));
        QVERIFY(wrong.messages().isEmpty());
        QVERIFY(slapd_.start());
        QCOMPARE(wrong.take(u"Invalid"_s).value(1), u"Invalid user name or password."_s);
        QCOMPARE(server.stop(), 0);
    }

    // A directory user's password change is made in the directory, as the user; the usual
    // CHPASS texts answer it, and the session, the day's messages and the next log-on follow it.
    void passwordChange_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("newPassword");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("answer"); // "S", or the refusal's text
        QTest::newRow("changed in the directory")
            << u"FRED"_s << u"fred3"_s << u"fred-new"_s << QStringList() << u"S"_s;
        QTest::newRow("turned off: done in the directory")
            << u"GINA"_s << u"gina2"_s << u"gina-new"_s
            << QStringList{u"--ldap-no-password-change"_s}
            << u"Your password is kept in the organisation's directory. Please change it there."_s;
        QTest::newRow("too short for the directory's policy")
            << u"FRED"_s << u"fred3"_s << u"fred"_s << QStringList()
            << u"The directory did not accept the new password. Please choose another."_s;
        QTest::newRow("changed by an administrator since the log-on")
            << u"IVY"_s << u"ivy2"_s << u"ivy-new"_s << QStringList()
            << u"Your password was changed in the directory since you logged on. Please log on "
               "again."_s;
        QTest::newRow("the directory down")
            << u"FRED"_s << u"fred3"_s << u"fred-new"_s << QStringList()
            << u"The password could not be changed. Please try again later."_s;
    }

    void passwordChange()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QString, newPassword);
        QFETCH(QStringList, options);
        QFETCH(QString, answer);
        QVERIFY(slapd_.start()); // the passwords as they were
        const QString database = newDatabase();
        ServerProcess server;
        QVERIFY(server.start(database, directory(Search, options), true));
        WireClient bob;
        WireClient user;
        QVERIFY(bob.logOnAt(server.port(), u"BOB"_s, u"bob2"_s));
        QVERIFY(user.connectTo(server.port()));
        const QString address = name + user.logOn(name, password).value(2);
        // Something of the day to download.
        user.send(wispline::ansi::encode(u"SND~%1~for the day~BOB2~NOONE"_s.arg(address)));
        QVERIFY(!bob.take(u"SND"_s).isEmpty());
        const QString dn = userDn(name.toLower());
        if (QTest::currentDataTag() == "changed by an administrator since the log-on"_L1)
            QVERIFY(slapd_.modify(u"dn: %1\nchangetype: modify\nreplace: userPassword\n"
                                  "userPassword: changed-by-admin\n"_s.arg(dn)));
        if (QTest::currentDataTag() == "the directory down"_L1)
            slapd_.stop();

        user.send(wispline::ansi::encode(u"CHPASS~%1~3~%2"_s.arg(name, newPassword)));
        const WireClient::Fields reply = user.take(u"CHPASS"_s);
        const bool changed = answer == "S"_L1;
        QCOMPARE(reply, changed ? (WireClient::Fields{u"CHPASS"_s,
                                                      u"Password changed "
                                                      "successfully."_s,
                                                      u"S"_s, newPassword, u"ExitEnd"_s})
                                : (WireClient::Fields{u"CHPASS"_s, answer, u"F"_s, u"ExitEnd"_s}));
        if (!slapd_.running())
            QVERIFY(slapd_.start(u"good"_s, false));
        if (QTest::currentDataTag() != "changed by an administrator since the log-on"_L1) {
            QCOMPARE(slapd_.whoAmI(dn, newPassword), changed ? 0 : 49);
            QCOMPARE(slapd_.whoAmI(dn, password), changed ? 49 : 0);
        }
        // The day's messages go with the session's password, the new one once changed.
        const QString current = changed ? newPassword : password;
        for (const QString& asked : {changed ? password : newPassword, current}) {
            user.messages().clear();
            user.send(wispline::ansi::encode(u"ALLMsgs~%1~%2~1.1.1"_s.arg(address, asked)));
            const WireClient::Fields end = user.take(u"ALLM"_s, u"END"_s);
            QVERIFY(!end.isEmpty());
            QCOMPARE(user.received(u"ALLM"_s).size(), asked == current ? 2 : 1); // START, MSG
        }
        // The next log-on with the new password needs nothing from the directory (its verifier
        // was made by the change); the old one no longer gets in.
        if (changed) {
            slapd_.stop();
            WireClient next;
            QVERIFY(next.connectTo(server.port()));
            QVERIFY2(next.logOn(name, newPassword).value(0) == u"LIU"_s,
                     qPrintable(server.output()));
            QVERIFY(slapd_.start(u"good"_s, false));
            WireClient old;
            QVERIFY(old.connectTo(server.port()));
            QCOMPARE(old.logOn(name, password).value(0), u"Invalid"_s);
        }
        QCOMPARE(server.stop(), 0);
    }

    // Only a directory whose certificate the server can verify is asked; others leave its users
    // waiting, and the log says why.
    void anUntrustedDirectoryIsNeverAsked_data()
    {
        QTest::addColumn<QString>("certificate");
        QTest::addColumn<QString>("ca"); // empty: the system's authorities
        QTest::addColumn<bool>("secure");
        QTest::newRow("the test's authority, given: trusted") << u"good"_s << u"ca"_s << false;
        QTest::newRow("the test's authority, not given") << u"good"_s << QString() << false;
        QTest::newRow("another authority") << u"stranger"_s << u"ca"_s << false;
        QTest::newRow("a certificate for another name") << u"wrongname"_s << u"ca"_s << false;
        QTest::newRow("an expired certificate") << u"expired"_s << u"ca"_s << false;
        QTest::newRow("ldaps: another name") << u"wrongname"_s << u"ca"_s << true;
        QTest::newRow("no TLS at all") << QString() << u"ca"_s << false;
    }

    void anUntrustedDirectoryIsNeverAsked()
    {
        QFETCH(QString, certificate);
        QFETCH(QString, ca);
        QFETCH(bool, secure);
        QVERIFY2(slapd_.start(certificate), qPrintable(slapd_.log()));
        QStringList options = directory(secure ? Ldaps : Pattern);
        const qsizetype at = options.indexOf(u"--ldap-ca"_s);
        if (ca.isEmpty())
            options.remove(at, 2);
        else
            options[at + 1] = dir_.filePath(ca + u".pem"_s);
        ServerProcess server;
        QVERIFY(server.start(newDatabase(), options, true));
        WireClient client;
        QVERIFY(client.connectTo(server.port()));
        const bool trusted = QTest::currentDataTag() == "the test's authority, given: trusted"_L1;
        if (trusted) {
            QCOMPARE(client.logOn(u"BOB"_s, u"bob2"_s).value(0), u"LIU"_s);
        } else {
            client.send("LIU~BOB~bob2~1.1.1~00-11-22-33-44-55");
            QVERIFY2(waitFor([&] { return server.output().contains("log-on of BOB held"_L1); }),
                     qPrintable(server.output()));
            QVERIFY(server.output().contains("directory: cannot be used"_L1));
            QVERIFY(client.messages().isEmpty());
            // Nothing but the handshake reached it: no bind, no search.
            QVERIFY(slapd_.mark(u"untrusted"_s));
            QVERIFY2(!slapd_.log().contains(u"BIND dn=\"uid="_s), qPrintable(slapd_.log()));
        }
        QCOMPARE(server.stop(), 0);
        QVERIFY(slapd_.start());
    }

    // Settings that cannot work stop the start, with the reason.
    void aStartWithUnusableSettingsIsRefused_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("problem");
        QFile open(dir_.filePath(u"open.password"_s));
        QVERIFY(open.open(QIODevice::WriteOnly));
        open.write("reader-pw\n");
        open.close();
        QFile::setPermissions(open.fileName(), QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ReadGroup | QFile::ReadOther);
        QFile empty(dir_.filePath(u"empty.pem"_s));
        QVERIFY(empty.open(QIODevice::WriteOnly));
        empty.close();
        QTest::newRow("a password file others may read")
            << directory(Search, {u"--ldap-password-file"_s, open.fileName()})
            << u"can be read by others than its owner"_s;
        QTest::newRow("a CA file that is not there")
            << directory(Pattern, {u"--ldap-ca"_s, dir_.filePath(u"none.pem"_s)}) << u"--ldap-ca"_s;
        QTest::newRow("a CA file without a certificate")
            << directory(Pattern, {u"--ldap-ca"_s, empty.fileName()})
            << u"no PEM certificate in it"_s;
    }

    void aStartWithUnusableSettingsIsRefused()
    {
        QFETCH(QStringList, options);
        QFETCH(QString, problem);
        const AdminResult r = runAdmin(newDatabase(), QStringList{u"--port"_s, u"0"_s} + options);
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(problem), qPrintable(r.err));
    }

    // OpenLDAP's client library (and what it brings) is loaded only for a directory: without it
    // a server with none serves, and one with a directory refuses to start, saying why.
    void withoutTheLdapLibrary_data()
    {
        QTest::addColumn<bool>("withDirectory");
        QTest::newRow("no directory: serves") << false;
        QTest::newRow("a directory: refused") << true;
    }

    void withoutTheLdapLibrary()
    {
        QFETCH(bool, withDirectory);
        if (::geteuid() != 0)
            QSKIP("hides the library in a mount namespace of its own (run as root)");
        const QString database = newDatabase();
        QCOMPARE(addUser(database, {u"AMY"_s, u"amy1"_s, u"1"_s}).exitCode, 0);
        ServerProcess server;
        server.setHiddenFile(QStringLiteral(WISPLINE_LDAP_FILE));
        const bool started =
            server.start(database, withDirectory ? directory(Pattern) : QStringList(), true);
        if (!started && server.waitForExit() == 126) // the harness's child could not hide it
            QSKIP("needs a mount namespace of its own");
        if (withDirectory) {
            QVERIFY(!started);
            QCOMPARE(server.waitForExit(), 1);
            QVERIFY2(server.output().contains(u"--ldap needs OpenLDAP's client library"_s),
                     qPrintable(server.output()));
            QVERIFY(!server.output().contains(u"listening on"_s));
            return;
        }
        QVERIFY2(started, qPrintable(server.output()));
        WireClient amy;
        QVERIFY(amy.logOnAt(server.port(), "AMY", "amy1"));
        QCOMPARE(server.stop(), 0);
    }

    void cleanupTestCase() { slapd_.stop(); }
};

// Without slapd and the LDAP tools there is nothing to test against: ctest counts it skipped.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList sbin{u"/usr/sbin"_s, u"/sbin"_s};
    if (QStandardPaths::findExecutable(u"slapd"_s, sbin).isEmpty() ||
        QStandardPaths::findExecutable(u"slapadd"_s, sbin).isEmpty() ||
        QStandardPaths::findExecutable(u"ldapsearch"_s).isEmpty()) {
        std::fputs("SKIP: needs slapd and ldap-utils (Debian packages slapd, ldap-utils)\n",
                   stderr);
        return 77;
    }
    TestServerDirectory test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_serverdirectory.moc"
