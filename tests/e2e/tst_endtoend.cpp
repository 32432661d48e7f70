// The real client, in this process, against the real wispline-server executable. The log-on
// window and the main window run offscreen exactly as in the program; the other side of each
// conversation is a raw connection that speaks the client protocol, because the session state
// is process-wide and allows one client per process.
#include "TestSeams.h"
#include "WidgetProbes.h"
#include "app/SessionState.h"
#include "app/WisplineModule.h"
#include "link/ServerLink.h"
#include "logon/FrmLogin.h"
#include "mainwindow/FrmWisplineClient.h"
#include "notify/FrmAlert.h"
#include "server/ServerHarness.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScopeGuard>
#include <QSettings>
#include <QSslSocket>
#include <QTextEdit>
#include <algorithm>
#include <memory>
#include <poll.h>
#include <vector>

using namespace wispline;
using wispline::test::listTexts;
using namespace Qt::StringLiterals;
using wispline::server::test::kWaitMs;
using wispline::server::test::ServerProcess;
using wispline::server::test::WireClient;

namespace
{

// The server stamps each delivered message with its own clock.
const QString kDayTime = u"\\d\\d:\\d\\d:\\d\\d"_s;

// The lines of a message area; blank lines (the second break of each block) are left out.
QStringList linesOf(const QTextEdit* area)
{
    QString text = area->toPlainText();
    text.remove(QLatin1Char('\r'));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool matches(const QString& pattern, const QString& line)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern)).match(line).hasMatch();
}

// Whether a line of the area matches `pattern` as a whole.
bool hasLine(const QTextEdit* area, const QString& pattern)
{
    const QStringList lines = linesOf(area);
    return std::any_of(lines.begin(), lines.end(),
                       [&](const QString& line) { return matches(pattern, line); });
}

QString delivered(const QString& sender, const QString& body)
{
    return QRegularExpression::escape(sender + u" <- "_s + body + QLatin1Char(' ')) + u"\\["_s +
           kDayTime + u"\\]"_s;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir settingsDir;
    std::unique_ptr<test::Sandbox> sb;
    std::unique_ptr<ServerProcess> server;
    std::vector<std::unique_ptr<WireClient>> peers;
    std::unique_ptr<FrmLogin> login;
    std::unique_ptr<FrmWisplineClient> w;

    // A raw peer logged on as `name`; null unless the server accepted it.
    WireClient* peer(const QString& name, const QString& password)
    {
        auto client = std::make_unique<WireClient>();
        if (!client->logOnAt(server->port(), name, password))
            return nullptr;
        peers.push_back(std::move(client));
        return peers.back().get();
    }

    // Types into the log-on window and logs on, as the user does in the LAN mode.
    void openClient(const QString& typedName, const QString& password)
    {
        login = std::make_unique<FrmLogin>();
        login->cmbMode->setCurrentIndex(login->cmbMode->findText(u"LAN"_s));
        login->txtUserName->setText(typedName);
        login->txtPassword->setText(password);
        login->setOnAccepted([this] {
            // The log-on fixes the port of the deployment; this test's server listens on
            // a port of its own, on the loopback address whatever the deployment's default.
            session().ServerPort = server->port();
            session().ServerAddress = u"127.0.0.1"_s;
            w = std::make_unique<FrmWisplineClient>(login.get());
            w->Form_Load();
            if (!w->link().hasEnded()) {
                w->show();
                w->Form_Activate();
            }
        });
        login->cmdOK_Click();
    }

    // Logs on and waits until the server's level 1 has arrived and the layout is shown.
    bool logOnClient(const QString& typedName = u"alice"_s)
    {
        openClient(typedName, u"alice1"_s);
        return w && QTest::qWaitFor(
                        [&] {
                            return session().UserLevel == u"1"_s &&
                                   w->fraLevel1And2->isVisibleTo(w.get()) &&
                                   w->txtSendData->isEnabled();
                        },
                        kWaitMs);
    }

    // A mouse click on the entry; false when the list does not hold it once.
    static bool clickEntry(QListWidget* list, const QString& name)
    {
        const QList<QListWidgetItem*> found = list->findItems(name, Qt::MatchExactly);
        if (found.size() != 1)
            return false;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                          list->visualItemRect(found.first()).center());
        return true;
    }

    // Key by key, Latin-1 letters included (Qt's key codes for them are their upper-case code).
    void typeAndSend(const QString& text)
    {
        for (const QChar c : text)
            QTest::sendKeyEvent(QTest::Click, w->txtSendData, Qt::Key(c.toUpper().unicode()),
                                QString(c), Qt::NoModifier);
        QTest::keyClick(w->txtSendData, Qt::Key_Return);
    }

private slots:
    void initTestCase()
    {
        // Preferences other tests store must not switch the pop-up off here.
        QVERIFY(settingsDir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, settingsDir.path());
    }

    void init()
    {
        sb = std::make_unique<test::Sandbox>();
        SessionState& s = session();
        s.ThemeForeColor = 33023;
        s.ThemeBackColor = 0;
        s.VersionString = programVersion();
        s.MessageLogPath = sb->dir.filePath(messageLogFileName(sb->seams.clock.value.date()));

        server = std::make_unique<ServerProcess>();
        QVERIFY2(server->start(sb->dir.filePath(u"server.db"_s), {u"--demo"_s}),
                 qPrintable(server->output()));
    }

    void cleanup()
    {
        w.reset();
        login.reset();
        peers.clear();
        server.reset();
        sb.reset();
    }

    void listsAMessageEachWayAndTheDaysDownload()
    {
        WireClient* bob = peer("BOB", "bob2");
        QVERIFY(bob && peer("DAVE", "dave3"));
        QVERIFY(logOnClient(u" alice "_s)); // the name as typed, upper-cased and trimmed
        // Users already connected come with the log-on; the client is not in its own lists.
        QTRY_COMPARE_WITH_TIMEOUT(listTexts(w->lstLevel2), QStringList{u"BOB"_s}, kWaitMs);
        QTRY_COMPARE_WITH_TIMEOUT(listTexts(w->lstLevel3), QStringList{u"DAVE"_s}, kWaitMs);
        QVERIFY(listTexts(w->lstLevel1).isEmpty());

        // The spaces around the typed text are not sent; Latin-1 letters travel as single bytes.
        const QString body = u"Gr\u00fc\u00dfe aus K\u00f6ln"_s;
        QVERIFY(clickEntry(w->lstLevel2, u"BOB"_s));
        typeAndSend(u"  "_s + body + u"  "_s);
        const QStringList snd = bob->take("SND");
        QVERIFY2(matches(delivered(u"ALICE"_s, body), snd.value(1)), qPrintable(snd.value(1)));
        const QString echo = u"ALICE >> "_s + body + u" [To BOB]"_s;
        QVERIFY(linesOf(w->RTBox).contains(echo));

        const QString reply = u"\u00e0 bient\u00f4t, J\u00fcrgen"_s;
        bob->send((u"SND~BOB2~"_s + reply + u"~ALICE1~NOONE"_s).toLatin1());
        bob->send("SND~BOB2~not for alice~CAROL2~NOONE");
        QVERIFY(bob->sync());
        QTRY_VERIFY_WITH_TIMEOUT(hasLine(w->RTBox, delivered(u"BOB"_s, reply)), kWaitMs);
        // The pop-up shows the body with the spaces that stood next to it.
        QCOMPARE(w->frmAlert().lblAlert->text(), QLatin1Char(' ') + reply + QLatin1Char(' '));

        w->mnuDownloadMessages_Click();
        QTRY_VERIFY_WITH_TIMEOUT(w->fraAllMessages->isVisibleTo(w.get()), kWaitMs);
        const QStringList lines = linesOf(w->RTBAllMsgs);
        QCOMPARE(lines.size(), 3); // the two messages and the way back
        QVERIFY2(matches(kDayTime + u" ALICE -> BOB : "_s + body, lines.at(0)) &&
                     matches(kDayTime + u" BOB -> ALICE : "_s + reply, lines.at(1)),
                 qPrintable(lines.join('|')));
        QVERIFY(sb->seams.boxes.shown.isEmpty());

        bob->send("LOU~BOB2");
        QTRY_VERIFY_WITH_TIMEOUT(listTexts(w->lstLevel2).isEmpty(), kWaitMs);
    }

    // Over TLS the client logs on and exchanges messages when the certificate checks out, and
    // otherwise sends nothing and ends after one box naming the problem.
    void encryptedLink_data()
    {
        QTest::addColumn<QString>("certificate"); // the server's, made by makeCertificates()
        QTest::addColumn<bool>("pinned");         // PinnedSha256: the good certificate's key
        QTest::addColumn<QString>("problem");     // in the box; empty: logs on
        QTest::addColumn<QString>("encryption");  // the user's Encryption value

        QTest::newRow("trusted: logs on and exchanges")
            << u"good"_s << false << QString() << u"on"_s;
        // Only "on" encrypted: "true" logged on in plain text.
        QTest::newRow("Encryption=true: encrypted") << u"good"_s << false << QString() << u"true"_s;
        QTest::newRow("pinned and trusted: logs on") << u"good"_s << true << QString() << u"on"_s;
        QTest::newRow("wrong host name: refused")
            << u"wrongname"_s << false
            << u"The server's certificate is for another name than "
               "127.0.0.1."_s
            << u"on"_s;
        QTest::newRow("expired: refused")
            << u"expired"_s << false << u"The server's certificate has expired."_s << u"on"_s;
        QTest::newRow("unknown issuer: refused")
            << u"stranger"_s << false
            << u"The server's certificate was issued by an authority this computer does not "
               "trust."_s
            << u"on"_s;
        QTest::newRow("pin mismatch: refused")
            << u"stranger"_s << true
            << u"The server's certificate key is not the one this computer was set up to "
               "expect."_s
            << u"on"_s;
    }

    void encryptedLink()
    {
        QFETCH(QString, certificate);
        QFETCH(bool, pinned);
        QFETCH(QString, problem);
        const QString certificates = sb->dir.filePath(u"tls"_s);
        QVERIFY(QDir().mkpath(certificates));
        const QString made = server::test::makeCertificates(certificates);
        QVERIFY2(made.isEmpty(), qPrintable(made));
        const QString ca = certificates + u"/ca.pem"_s;
        server = std::make_unique<ServerProcess>();
        QVERIFY(server->start(sb->dir.filePath(u"server.db"_s),
                              {u"--demo"_s, u"--tls-cert"_s,
                               certificates + u"/"_s + certificate + u".pem"_s, u"--tls-key"_s,
                               certificates + u"/"_s + certificate + u".key"_s},
                              true));
        {
            QSettings own(QSettings::IniFormat, QSettings::UserScope, u"AkWispline"_s,
                          u"AkWispline"_s);
            QFETCH(QString, encryption);
            own.setValue(u"Deployment/Encryption"_s, encryption);
            own.setValue(u"Deployment/CaFile"_s, ca);
            if (pinned)
                own.setValue(u"Deployment/PinnedSha256"_s,
                             server::test::publicKeyHash(certificates + u"/good.pem"_s));
        }
        const auto forget = qScopeGuard([] {
            QSettings(QSettings::IniFormat, QSettings::UserScope, u"AkWispline"_s, u"AkWispline"_s)
                .remove(u"Deployment"_s);
        });
        if (problem.isEmpty()) {
            WireClient* bob = peer("BOB", "bob2"); // plain, beside the encrypted client
            auto dave = std::make_unique<WireClient>();
            QVERIFY(bob && dave->logOnAt(server->port(), u"DAVE"_s, u"dave3"_s, ca));
            QVERIFY(logOnClient());
            const auto* ssl = qobject_cast<const QSslSocket*>(w->link().tcpClient);
            QVERIFY(ssl && ssl->isEncrypted());
            QVERIFY(clickEntry(w->lstLevel2, u"BOB"_s));
            typeAndSend(u"over TLS"_s);
            QVERIFY(bob->take("SND").value(1).startsWith(u"ALICE <- over TLS"_s));
            dave->send("SND~DAVE3~back~ALICE1~NOONE");
            QTRY_VERIFY_WITH_TIMEOUT(hasLine(w->RTBox, delivered(u"DAVE"_s, u"back"_s)), kWaitMs);
            QVERIFY(sb->seams.boxes.shown.isEmpty());
            QVERIFY(server->output().contains(u"TLSv1.3"_s));
            return;
        }
        openClient(u"alice"_s, u"alice1"_s);
        QTRY_VERIFY_WITH_TIMEOUT(w && w->link().hasEnded(), kWaitMs);
        QCOMPARE(sb->seams.boxes.lines(),
                 QStringList{test::box(u"Wispline"_s, BoxIcon::Critical, problem)});
        const QString log = server->output().section(u"listening on"_s, 1); // after the demo list
        QVERIFY2(!log.contains(u"ALICE"_s), qPrintable(log));
    }

    void closeAnsweringTheLogOutDoesNotCutTheShutdownShort()
    {
        WireClient* bob = peer("BOB", "bob2");
        QVERIFY(bob && logOnClient());
        bob->send("SND~BOB2~before you go~ALICE1~NOONE");
        const QString pattern = delivered(u"BOB"_s, u"before you go"_s);
        QTRY_VERIFY_WITH_TIMEOUT(hasLine(w->RTBox, pattern), kWaitMs);

        // The server answers LOU by closing the connection. This runs inside the yield that
        // follows the log-out and returns once that close has reached the client's socket, so
        // the yield finds it waiting, as it does whenever the server is quick.
        const int socket = int(w->link().tcpClient->socketDescriptor());
        bool closeArrived = false;
        QMetaObject::invokeMethod(
            this,
            [&] {
                pollfd p{socket, POLLRDHUP, 0};
                closeArrived = ::poll(&p, 1, kWaitMs) == 1;
            },
            Qt::QueuedConnection);
        sb->seams.boxes.answers = {BoxAnswer::Yes};
        w->mnuExit->trigger();
        QVERIFY(closeArrived);
        QCOMPARE(sb->seams.boxes.count(),
                 1); // the shutdown question, its text checked by the window test
        QCOMPARE(bob->take("LGO").value(1), u"ALICE1"_s);

        // The shutdown itself ends the program, after its last save of the message log; a close
        // noticed on the way must not end it first, which would lose that save.
        QCOMPARE(sb->seams.exit.ends, QStringList{u"Form_QueryUnload"_s});
        QFile log(session().MessageLogPath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString saved = QString::fromLatin1(log.readAll());
        QVERIFY(QRegularExpression(pattern).match(saved).hasMatch());
        QVERIFY(saved.endsWith(u"Diconnected At 10:32:15\r\n\r\n"_s));
    }
};

int main(int argc, char** argv)
{
    // Without glib the event dispatcher delivers posted events before it polls the sockets,
    // which lets a test hold a yield of the client until the server has answered.
    qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestEndToEnd test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_endtoend.moc"
