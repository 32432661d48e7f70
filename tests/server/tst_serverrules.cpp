// Names, passwords, versions, addresses, addressing by level and control characters as the
// server reads them, and the key derivation of its password hashes. The framing of what it
// sends is checked end to end by the routing and robustness tests. Also how a name goes into a
// directory's DN or search filter, and which directory settings cannot work. Also the storage
// that outlives a log-on: the names kept for good and the slots of the connections' records.
#include "base/Crypto.h"
#include "base/InternedNames.h"
#include "base/ServerRules.h"
#include "base/SlotPool.h"
#include "directory/DirectoryOptions.h"
#include "directory/LdapText.h"
#include "routing/CheckQueue.h"
#include "routing/LogOnGate.h"

#include <QMutex>
#include <QPasswordDigestor>
#include <QSemaphore>
#include <QTest>
#include <set>
#include <tuple>
#include <vector>

using namespace wispline::server;

class TestServerRules : public QObject
{
    Q_OBJECT
private slots:
    void versionOrder_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<int>("order");
        const auto row = [](const char* tag, const char* a, const char* b, int order) {
            QTest::newRow(tag) << QString(a) << QString(b) << order;
        };
        row("equal", "1.1.1", "1.1.1", 0);
        row("numeric not textual", "1.10.0", "1.9.3", 1);
        row("missing parts are zero", "2", "2.0.0", 0);
        row("unreadable is oldest", "abc", "0.0.1", -1);
        row("four parts are unreadable", "1.2.3.4", "1.0.0", -1);
        row("empty part is unreadable", "1..3", "0.0.0", -1);
    }

    void versionOrder()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(int, order);
        QCOMPARE(compareVersions(a, b), order);
        QCOMPARE(compareVersions(b, a), -order);
    }

    // Blank and terminator-holding passwords are refused end to end by the routing test.
    void passwords_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("Latin-1 letter") << QString::fromLatin1("m\xfcnze") << true;
        QTest::newRow("separator") << "pass~word" << false;
        QTest::newRow("control character") << "pass\tword" << false;
        QTest::newRow("euro sign of the code page") << QStringLiteral("pass\u20acword") << true;
        QTest::newRow("beyond the code page") << QStringLiteral("pass\u0100word") << false;
        QTest::newRow("64 characters, the longest") << QString(64, u'p') << true;
        QTest::newRow("65 characters") << QString(65, u'p') << false;
    }

    void passwords()
    {
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        QCOMPARE(passwordProblem(password).isEmpty(), accepted);
    }

    // Hashes stored by earlier servers (derived by Qt) stay valid with OpenSSL's derivation:
    // each row is derived both ways, and the published vectors pin both down.
    // The order password checks start in, one at a time: check 1 runs until the steps below
    // are done, then the others run. Steps: "ask N" (a log-on of user N), "leave N" (its client
    // hangs up), "rejoin N" (a new connection of the same user asks again).
    void checkOrder_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("order"); // the first checks to run, in their order
        QTest::newRow("in the order asked") << QStringList{"ask 2", "ask 3"} << "1,2,3";
        QTest::newRow("one whose client went waits behind one still asked for")
            << QStringList{"ask 2", "ask 3", "leave 2"} << "1,3";
        QTest::newRow("one whose client came back keeps its place")
            << QStringList{"ask 2", "ask 3", "leave 2", "rejoin 2"} << "1,2,3";
    }

    void checkOrder()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, order);
        LogOnGate gate;
        CheckQueue queue(this, gate);
        queue.setLimits(1, 1, 0, 0);
        QSemaphore first;
        QMutex lock;
        QStringList ran;
        QStringList answered;
        const auto answer = [&](int user) {
            return
                [&answered, user](const PasswordCheck&) { answered.append(QString::number(user)); };
        };
        const auto ask = [&](int user) {
            CheckQueue::Job job;
            job.address = QStringLiteral("127.0.0.%1").arg(user);
            job.name = QStringLiteral("U%1").arg(user);
            job.key = job.name.toLatin1();
            job.work = [&, user] {
                if (user == 1)
                    first.acquire();
                const QMutexLocker locked(&lock);
                ran.append(QString::number(user));
            };
            queue.ask(quint64(user), std::move(job), answer(user));
        };
        ask(1);
        QTRY_COMPARE(queue.running(), 1);
        for (const QString& step : steps) {
            const int user = step.section(u' ', 1).toInt();
            if (step.startsWith(u"ask"))
                ask(user);
            else if (step.startsWith(u"leave"))
                QVERIFY(queue.leave(quint64(user)));
            else {
                std::shared_ptr<const PasswordCheck> kept;
                QVERIFY(queue.join(quint64(user) + 100, QByteArray("U") + QByteArray::number(user),
                                   answer(user), &kept));
            }
        }
        first.release();
        // The last one asked for is answered once those before it in the order ran.
        const QString last = order.section(u',', -1);
        QTRY_VERIFY(answered.contains(last));
        const QMutexLocker locked(&lock);
        QCOMPARE(ran.mid(0, int(order.count(u',')) + 1).join(u','), order);
    }

    void keyDerivation_data()
    {
        QTest::addColumn<QByteArray>("password");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<int>("iterations");
        QTest::addColumn<QByteArray>("known"); // hex; empty where no vector is published
        QTest::newRow("published vector, 1 round")
            << QByteArray("password") << QByteArray("salt") << 1
            << QByteArray("120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
        QTest::newRow("published vector, 4096 rounds")
            << QByteArray("password") << QByteArray("salt") << 4096
            << QByteArray("c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
        QTest::newRow("code page bytes, binary salt")
            << QByteArray("m\xfcnze\x80") << QByteArray("\0\xff\x10salt\x7f", 9) << 1000
            << QByteArray();
        QTest::newRow("password longer than a SHA-256 block")
            << QByteArray(100, 'p') << QByteArray(16, 's') << 1000 << QByteArray();
        QTest::newRow("empty password")
            << QByteArray() << QByteArray(16, 's') << 1000 << QByteArray();
    }

    void keyDerivation()
    {
        QFETCH(QByteArray, password);
        QFETCH(QByteArray, salt);
        QFETCH(int, iterations);
        QFETCH(QByteArray, known);
        const QByteArray derived = crypto::pbkdf2Sha256(password, salt, iterations);
        QCOMPARE(derived.toHex(), QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256,
                                                                     password, salt, iterations, 32)
                                      .toHex());
        if (!known.isEmpty())
            QCOMPARE(derived.toHex(), known);
    }

    void addresses_data()
    {
        QTest::addColumn<QByteArray>("address");
        QTest::addColumn<QByteArray>("name"); // empty when the address is refused
        QTest::addColumn<int>("level");
        QTest::newRow("level 2") << QByteArray("bob2") << QByteArray("BOB") << 2;
        QTest::newRow("name ending in a digit") << QByteArray("R2D23") << QByteArray("R2D2") << 3;
        QTest::newRow("level 4") << QByteArray("bob4") << QByteArray() << 0;
        QTest::newRow("digit only") << QByteArray("2") << QByteArray() << 0;
        QTest::newRow("no digit") << QByteArray("bob") << QByteArray() << 0;
        QTest::newRow("one letter") << QByteArray("b1") << QByteArray("B") << 1;
        QTest::newRow("spaces around") << QByteArray(" bob2 ") << QByteArray("BOB") << 2;
        // Only ASCII letters change case.
        QTest::newRow("past ASCII") << QByteArray("\xe9ve1") << QByteArray("\xe9VE") << 1;
        // A recipient's name is upper-cased into room for 64 bytes; a longer one still whole.
        QTest::newRow("name filling the room")
            << QByteArray(64, 'q') + '2' << QByteArray(64, 'Q') << 2;
        QTest::newRow("name past the room")
            << QByteArray(64, 'q') + "z2" << QByteArray(64, 'Q') + 'Z' << 2;
    }

    void addresses()
    {
        QFETCH(QByteArray, address);
        QFETCH(QByteArray, name);
        QFETCH(int, level);
        QByteArray gotName;
        int gotLevel = 0;
        QCOMPARE(splitAddress(address, &gotName, &gotLevel), !name.isEmpty());
        if (!name.isEmpty())
            QCOMPARE(std::pair(gotName, gotLevel), std::pair(name, level));
        // Taken apart in place, as each recipient of a message is: the same name and level.
        NameRoom room(3, 'x'); // what an earlier address left there
        int roomLevel = 0;
        QCOMPARE(splitAddress(QByteArrayView(address), &room, &roomLevel), !name.isEmpty());
        if (!name.isEmpty())
            QCOMPARE(std::pair(QByteArray(room.constData(), room.size()), roomLevel),
                     std::pair(name, level));
        // The sender's own address is checked without taking it apart: the same answer.
        QCOMPARE(addressNames(address, gotName), !name.isEmpty());
        QVERIFY(!addressNames(address, gotName + 'X'));
        QVERIFY(!addressNames(address, gotName.chopped(std::min<qsizetype>(1, gotName.size()))));
    }

    // What the client of each level can address: its layout shows Level 1 and 2 users all
    // lists and "All Level2 Users", Level 2 users all lists and "All Level3 Users", Level 3
    // users the Level 1 list (one entry at a time) and the Level 2 list; a reply selects one
    // entry of any list.
    void addressing_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<QByteArray>("recipients");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<bool>("allowed");
        const auto row = [](const char* tag, int level, const QByteArray& recipients,
                            const char* code, bool allowed) {
            QTest::newRow(tag) << level << recipients << QByteArray(code) << allowed;
        };
        row("level 1 to several level 3 users", 1, "A3,B3", "NOONE", true);
        row("level 1 to all level 2", 1, "NOONE", "L2A", true);
        row("level 1 to all level 3", 1, "NOONE", "L3A", false);
        row("level 2 to all level 3", 2, "NOONE", "L3A", true);
        row("level 2 to all level 2", 2, "NOONE", "L2A", false);
        row("level 3 to several level 2 users", 3, "A2,B2", "NOONE", true);
        row("level 3 to one level 1 user", 3, "A1", "NOONE", true);
        row("level 3 to two level 1 users", 3, "A1,B1", "NOONE", false);
        row("level 3 replying to one level 3 user", 3, "A3", "NOONE", true);
        row("level 3 to two level 3 users", 3, "A3,B3", "NOONE", false);
        row("level 3 to all level 3", 3, "NOONE", "L3A", false);
        row("users of two lists", 1, "A1,B2", "NOONE", false);
        row("names beside a group code", 1, "A2", "L2A", false);
        row("under selected level 2 users, never offered", 1, "A2", "L2S", false);
        row("unknown code", 1, "A1", "XYZ", false);
        row("no destination", 1, "NOONE", "NOONE", false);
        row("empty address", 1, "A1,,B1", "NOONE", false);
        row("address without a level", 1, "A1,B", "NOONE", false);
        QByteArray many = "U1";
        for (int i = 1; i < kMaxRecipients; ++i)
            many += ",U1";
        row("as many recipients as allowed", 1, many, "NOONE", true);
        row("one recipient too many", 1, many + ",V1", "NOONE", false);
    }

    void addressing()
    {
        QFETCH(int, level);
        QFETCH(QByteArray, recipients);
        QFETCH(QByteArray, code);
        QFETCH(bool, allowed);
        QCOMPARE(addressingProblem(level, recipients, code) == nullptr, allowed);
    }

    // A message is framed once with its display text in it; the text that goes back to the
    // offline queue when the peer never acknowledged it is taken out of that frame.
    void framedDisplayText_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("message") << QByteArray("SND") << QByteArray("Call me");
        QTest::newRow("one-byte body") << QByteArray("SND") << QByteArray("k");
        QTest::newRow("body of brackets and arrows")
            << QByteArray("SND") << QByteArray("] <- [ \x80\xff");
        QTest::newRow("queue row") << QByteArray("OffL") << QByteArray("While you were out");
    }

    void framedDisplayText()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, body);
        const QByteArray display = displayText("ALICE", body, "09:15:02");
        const QByteArray framed = framedDisplay(command, "ALICE", body, "09:15:02");
        QCOMPARE(framed, frame(command, display));
        QCOMPARE(fieldOfFrame(framed).toByteArray(), display);
        QCOMPARE(fieldOfFrame(frame({command, display})).toByteArray(), display);
    }

    // C0 controls, DEL and the C1 controls of the code page's five undefined bytes become
    // spaces; its printable characters at 0x80-0x9F stay.
    void controlsBlanked_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QByteArray>("blanked");
        QTest::newRow("forged line") << QByteArray("ok\r\nBOB <- x") << QByteArray("ok  BOB <- x");
        QTest::newRow("NUL, BEL, DEL") << QByteArray("a\0b\ac\x7f", 6) << QByteArray("a b c ");
        QTest::newRow("C1 control and euro sign")
            << QByteArray("\x81\x80\x9d") << QByteArray(" \x80 ");
        // Text is looked at eight bytes at a time: a control at the end of a word and just past
        // it, the lowest and highest bytes either side of the printable ones, a control after
        // printable bytes from 0x80 up, and one in the bytes after the last whole word.
        QTest::newRow("control last of a word")
            << QByteArray("abcdefg\tijklmnop") << QByteArray("abcdefg ijklmnop");
        QTest::newRow("control first past a word")
            << QByteArray("abcdefgh\nijklmnop") << QByteArray("abcdefgh ijklmnop");
        QTest::newRow("space and tilde kept")
            << QByteArray(" ~ ~ ~ ~ ~ ~ ~ ~\x1f") << QByteArray(" ~ ~ ~ ~ ~ ~ ~ ~ ");
        QTest::newRow("DEL in a word")
            << QByteArray("~~~~~~~\x7f~~~~~~~~") << QByteArray("~~~~~~~ ~~~~~~~~");
        QTest::newRow("control after high bytes") << QByteArray("\xe9t\xe9 \xe0 Paris\x85\x01")
                                                  << QByteArray("\xe9t\xe9 \xe0 Paris\x85 ");
        QTest::newRow("control in the tail")
            << QByteArray("sixteen bytes ok\x9d") << QByteArray("sixteen bytes ok ");
    }

    void controlsBlanked()
    {
        QFETCH(QByteArray, field);
        QFETCH(QByteArray, blanked);
        blankControls(field);
        QCOMPARE(field, blanked);
    }

    // A name stays one value in a DN (RFC 4514) or a filter (RFC 4515), whatever it holds.
    void directoryText_data()
    {
        QTest::addColumn<QString>("pattern");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("filter");
        QTest::addColumn<QByteArray>("expanded"); // empty: refused
        const auto dn = [](const char* tag, const QString& name, const QByteArray& expanded) {
            QTest::newRow(tag) << QStringLiteral("uid=%s,dc=org") << name << false << expanded;
        };
        const auto filter = [](const char* tag, const QString& name, const QByteArray& expanded) {
            QTest::newRow(tag) << QStringLiteral("(uid=%s)") << name << true << expanded;
        };
        dn("dn: plain", QStringLiteral("alice"), "uid=alice,dc=org");
        dn("dn: comma adds no RDN", QStringLiteral("a,ou=x"), "uid=a\\,ou\\=x,dc=org");
        dn("dn: plus, quote, semicolon, angles", QStringLiteral("a+\"b;<>"),
           "uid=a\\+\\\"b\\;\\<\\>,dc=org");
        dn("dn: backslash", QStringLiteral("a\\b"), "uid=a\\\\b,dc=org");
        dn("dn: leading hash", QStringLiteral("#a"), "uid=\\#a,dc=org");
        dn("dn: leading space", QStringLiteral(" a"), "uid=\\ a,dc=org");
        dn("dn: hash and space inside stay", QStringLiteral("a #b"), "uid=a #b,dc=org");
        dn("dn: trailing space", QStringLiteral("a "), "uid=a\\ ,dc=org");
        dn("dn: NUL and a control", QString::fromLatin1("a\0\n", 3), "uid=a\\00\\0a,dc=org");
        dn("dn: UTF-8 passes", QStringLiteral("\u00e9"), "uid=\xc3\xa9,dc=org");
        dn("dn: star passes", QStringLiteral("*"), "uid=*,dc=org");
        filter("filter: plain", QStringLiteral("alice"), "(uid=alice)");
        filter("filter: star", QStringLiteral("*"), "(uid=\\2a)");
        filter("filter: closes and widens", QStringLiteral("*)(|(uid=*"),
               "(uid=\\2a\\29\\28|\\28uid=\\2a)");
        filter("filter: backslash", QStringLiteral("a\\2a"), "(uid=a\\5c2a)");
        filter("filter: NUL", QString::fromLatin1("a\0b", 3), "(uid=a\\00b)");
        filter("filter: DN specials pass", QStringLiteral("a,b=c"), "(uid=a,b=c)");
        QTest::newRow("pattern: %% is a percent sign")
            << QStringLiteral("(cn=%%%s)") << QStringLiteral("a") << true << QByteArray("(cn=%a)");
        QTest::newRow("pattern: an unknown placeholder")
            << QStringLiteral("(cn=%x)") << QStringLiteral("a") << true << QByteArray();
        QTest::newRow("pattern: a percent sign at the end")
            << QStringLiteral("(cn=%s)%") << QStringLiteral("a") << true << QByteArray();
    }

    void directoryText()
    {
        QFETCH(QString, pattern);
        QFETCH(QString, name);
        QFETCH(bool, filter);
        QFETCH(QByteArray, expanded);
        QByteArray out = "untouched";
        QString problem;
        const bool ok = ldaptext::expand(
            pattern, {{'s', name}},
            filter ? ldaptext::Escape::FilterValue : ldaptext::Escape::DnValue, &out, &problem);
        QCOMPARE(ok, !expanded.isEmpty());
        QCOMPARE(out, ok ? expanded : QByteArray("untouched"));
        QCOMPARE(problem.isEmpty(), ok);
    }

    // Directory settings that cannot work are refused at the start, with the reason.
    void directoryOptions_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("problem"); // empty: usable
        const auto row = [](const char* tag, const char* setting, const char* value,
                            const char* problem) {
            QTest::newRow(tag) << QString::fromLatin1(setting) << QString::fromUtf8(value)
                               << QString::fromLatin1(problem);
        };
        row("usable as it is", "", "", "");
        row("ldaps", "url", "ldaps://dir.example.org", "");
        row("two addresses", "url", "ldap://a.example.org ldaps://b.example.org", "");
        row("a clear-text scheme", "url", "ldapi:///", "takes ldap:// (with StartTLS)");
        row("one clear-text scheme of two", "url", "ldap://a ldapi:///", "not ldapi:///");
        row("spaces only", "url", " ", "needs an address");
        row("two addresses after a comma and a tab", "url", "ldaps://a,\tldaps://b", "");
        row("a clear-text scheme after a comma", "url", "ldaps://a,ldapi:///", "not ldapi:///");
        row("a clear-text scheme after a line break", "url", "ldaps://a\r\nldapi:///",
            "not ldapi:///");
        row("commas and spaces only", "url", ", ,", "needs an address");
        row("a pattern without the name", "bindPattern", "uid=x,dc=org", "needs %s");
        row("a pattern ending in %", "bindPattern", "uid=%s,dc=org%", "a '%' ends it");
        row("both a pattern and a search", "searchBase", "dc=org", "either");
        row("neither a pattern nor a search", "bindPattern", "", "either");
        row("search: a filter without the name", "search+filter", "(uid=x)", "needs %s");
        row("search: a filter out of parentheses", "search+filter", "uid=%s", "parentheses");
        row("search: the default filter", "search+filter", "(uid=%s)", "");
        row("a member filter without the group", "memberFilter", "(memberOf=x)", "needs %g");
        row("a member filter", "memberFilter", "(memberOf=%g)", "");
        row("no group at all", "groups", "", "at least one level");
        row("a group of level 3 only", "level3", "cn=l3,dc=org", "");
        row("a member attribute that is a filter", "memberAttribute", "member)(x",
            "attribute name");
        row("no supervisor attribute", "supervisorAttribute", "", "");
        row("a supervisor attribute with a space", "supervisorAttribute", "a b", "attribute name");
        row("a supervisor attribute with a hyphen and a digit", "supervisorAttribute", "x-boss2",
            "");
        row("a supervisor attribute starting with a digit", "supervisorAttribute", "2boss",
            "attribute name");
        row("a supervisor attribute starting with a hyphen", "supervisorAttribute", "-boss",
            "attribute name");
        row("a password file without a service account", "passwordFile", "/p", "--ldap-bind-dn");
    }

    void directoryOptions()
    {
        QFETCH(QString, setting);
        QFETCH(QString, value);
        QFETCH(QString, problem);
        DirectoryOptions o;
        o.url = QStringLiteral("ldap://dir.example.org");
        o.bindPattern = QStringLiteral("uid=%s,ou=people,dc=example,dc=org");
        o.groups[0] = QStringLiteral("cn=level1,dc=example,dc=org");
        if (setting == QLatin1String("url"))
            o.url = value;
        else if (setting == QLatin1String("bindPattern"))
            o.bindPattern = value;
        else if (setting == QLatin1String("searchBase"))
            o.searchBase = value;
        else if (setting == QLatin1String("search+filter"))
            std::tie(o.bindPattern, o.searchBase, o.filter) =
                std::tuple(QString(), QStringLiteral("dc=org"), value);
        else if (setting == QLatin1String("memberFilter"))
            o.memberFilter = value;
        else if (setting == QLatin1String("groups"))
            o.groups[0].clear();
        else if (setting == QLatin1String("level3"))
            std::tie(o.groups[0], o.groups[2]) = std::tuple(QString(), value);
        else if (setting == QLatin1String("memberAttribute"))
            o.memberAttribute = value;
        else if (setting == QLatin1String("supervisorAttribute"))
            o.supervisorAttribute = value;
        else if (setting == QLatin1String("passwordFile"))
            o.passwordFile = value;
        const QString found = directoryOptionsProblem(o);
        QVERIFY2(problem.isEmpty() ? found.isEmpty() : found.contains(problem), qPrintable(found));
    }

    // Names kept for good, many to a chunk: each intact, ended by a 0, however many follow it
    // into the chunks after, and kept once however often it logs on.
    void internedNames_data()
    {
        QTest::addColumn<QByteArray>("prefix"); // tells the rows' names apart
        QTest::addColumn<int>("shortest");
        QTest::addColumn<int>("longest");
        QTest::addColumn<int>("count");
        QTest::newRow("one letter") << QByteArray() << 1 << 1 << 26;
        QTest::newRow("the longest, over several chunks")
            << QByteArray("L") << kMaxNameLength << kMaxNameLength << 1000;
        QTest::newRow("every length, over several chunks")
            << QByteArray("M") << 2 << kMaxNameLength << 1000;
    }

    void internedNames()
    {
        QFETCH(QByteArray, prefix);
        QFETCH(int, shortest);
        QFETCH(int, longest);
        QFETCH(int, count);
        std::vector<QByteArray> names;
        std::vector<QByteArray> kept;
        for (int i = 0; i < count; ++i) {
            QByteArray name = prefix;
            for (int n = i; name.size() < shortest + i % (longest - shortest + 1); n /= 26)
                name += char('A' + n % 26);
            names.push_back(name);
            kept.push_back(internedName(QByteArray(name))); // from a copy, gone at once
        }
        for (int i = 0; i < count; ++i) {
            const QByteArray& k = kept[std::size_t(i)];
            QCOMPARE(k, names[std::size_t(i)]);
            QCOMPARE(k.constData()[k.size()], '\0');
            QCOMPARE(internedName(names[std::size_t(i)]).constData(), k.constData());
        }
    }

    // Slots taken and given back in any order: none handed out twice, none overwritten by
    // another's, across chunks.
    void slotPool_data()
    {
        QTest::addColumn<int>("taken");
        QTest::newRow("one chunk, full") << 8;
        QTest::newRow("one past a chunk") << 9;
        QTest::newRow("five chunks") << 40;
    }

    void slotPool()
    {
        using Pool = SlotPool<64, 8>;
        QFETCH(int, taken);
        std::vector<char*> held(std::size_t(taken), nullptr);
        const auto fill = [&](int i) {
            held[std::size_t(i)] = static_cast<char*>(Pool::take());
            std::fill_n(held[std::size_t(i)], 64, char(i));
        };
        const auto check = [&] {
            QCOMPARE(std::set<char*>(held.begin(), held.end()).size(), std::size_t(taken));
            for (int i = 0; i < taken; ++i)
                QVERIFY(std::all_of(held[std::size_t(i)], held[std::size_t(i)] + 64,
                                    [i](char c) { return c == char(i); }));
        };
        for (int i = 0; i < taken; ++i)
            fill(i);
        check();
        // Every other back, then as many again: they come from the freed held and chunks.
        for (int i = 0; i < taken; i += 2)
            Pool::give(held[std::size_t(i)]);
        for (int i = 0; i < taken; i += 2)
            fill(i);
        check();
        // All back, the last first: a chunk emptied goes while the others still hold held.
        for (int i = taken - 1; i >= 0; --i)
            Pool::give(held[std::size_t(i)]);
        for (int i = 0; i < taken; ++i)
            fill(i);
        check();
        for (char* slot : held)
            Pool::give(slot);
    }
};

QTEST_GUILESS_MAIN(TestServerRules)
#include "tst_serverrules.moc"
