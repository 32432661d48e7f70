// The real client, in this process, against the real wispline-server executable. The log-on
// window and the main window run offscreen exactly as in the program; the other side of each
// conversation is a raw connection that speaks the client protocol, because the session state
// is process-wide and allows one client per process.
#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/WisplineModule.h"
#include "link/ServerLink.h"
#include "logon/FrmLogin.h"
#include "mainwindow/FrmWisplineClient.h"
#include "notify/FlashController.h"
#include "notify/FrmAlert.h"
#include "notify/TrayIcon.h"
#include "server/ServerHarness.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <csignal>
#include <memory>
#include <poll.h>
#include <sys/prctl.h>
#include <vector>

using namespace wispline;
using wispline::server::test::WireClient;

namespace
{

// Generous: the server is a separate process on a machine that may be busy.
constexpr int kWait = 30000;

// The server stamps each delivered message with its own clock.
const QString kStamp = QStringLiteral("\\[\\d\\d:\\d\\d:\\d\\d\\]");
const QString kDayTime = QStringLiteral("\\d\\d:\\d\\d:\\d\\d");

const QString kOtherLogon =
    QStringLiteral("You have been logged off because your user name logged on elsewhere.");

// The lines of a message area; blank lines (the second break of each block) are left out.
QStringList linesOf(const QTextEdit* area)
{
    QString text = area->toPlainText();
    text.remove(QLatin1Char('\r'));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QRegularExpression wholeLine(const QString& pattern)
{
    return QRegularExpression(QRegularExpression::anchoredPattern(pattern));
}

// The first line of the area that matches `pattern` as a whole, or a null string.
QString lineMatching(const QTextEdit* area, const QString& pattern)
{
    const QRegularExpression re = wholeLine(pattern);
    for (const QString& line : linesOf(area)) {
        if (re.match(line).hasMatch())
            return line;
    }
    return {};
}

QString delivered(const QString& sender, const QString& body)
{
    return QRegularExpression::escape(sender + QStringLiteral(" <- ") + body + QLatin1Char(' ')) +
           kStamp;
}

QStringList listTexts(const QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

// The colour of the text at the first place `needle` stands in the area.
QColor colourOf(QTextEdit* area, const QString& needle)
{
    const qsizetype at = area->toPlainText().indexOf(needle);
    if (at < 0)
        return QColor();
    QTextCursor c(area->document());
    c.setPosition(int(at) + 1);
    return c.charFormat().foreground().color();
}

// The server executable on an ephemeral port. It dies with this process, so a crashed test
// leaves no server behind holding the test's output open.
class ServerProcess
{
public:
    ~ServerProcess() { kill(); }

    bool start(const QString& database)
    {
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel); // its log, for failures
        process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process_.start(wispline::server::test::serverPath(),
                       {QStringLiteral("--db"), database, QStringLiteral("--port"),
                        QStringLiteral("0"), QStringLiteral("--demo")});
        static const QRegularExpression listening(
            QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
        return QTest::qWaitFor(
                   [&] {
                       output_ += QString::fromUtf8(process_.readAllStandardOutput());
                       const QRegularExpressionMatch m = listening.match(output_);
                       if (m.hasMatch())
                           port_ = quint16(m.captured(1).toUInt());
                       return port_ != 0 || process_.state() == QProcess::NotRunning;
                   },
                   kWait) &&
               port_ != 0;
    }

    quint16 port() const { return port_; }
    const QString& output() const { return output_; }
    void terminate() { ::kill(pid_t(process_.processId()), SIGTERM); }

    // The exit code once the process has ended by itself, or -1.
    int waitForExit()
    {
        if (!QTest::qWaitFor([&] { return process_.state() == QProcess::NotRunning; }, kWait))
            return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    void kill()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(kWait);
        }
    }

private:
    QProcess process_;
    QString output_;
    quint16 port_ = 0;
};

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir settingsDir;
    std::unique_ptr<test::Seams> seams;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<ServerProcess> server;
    std::vector<std::unique_ptr<WireClient>> peers;
    std::unique_ptr<FrmLogin> login;
    std::unique_ptr<FrmWisplineClient> w;

    // A raw peer logged on as `name`; null unless the server accepted it.
    WireClient* peer(const QString& name, const QString& password)
    {
        auto client = std::make_unique<WireClient>();
        if (!client->connectTo(server->port()))
            return nullptr;
        if (client->logOn(name, password).value(0) != QLatin1String("LIU"))
            return nullptr;
        peers.push_back(std::move(client));
        return peers.back().get();
    }

    // Types into the log-on window and logs on, as the user does in the LAN mode.
    void openClient(const QString& typedName, const QString& password)
    {
        login = std::make_unique<FrmLogin>();
        login->cmbMode->setCurrentIndex(login->cmbMode->findText(QStringLiteral("LAN")));
        login->txtUserName->setText(typedName);
        login->txtPassword->setText(password);
        login->setOnAccepted([this] {
            // The log-on fixes the port of the deployment; this test's server listens on
            // a port of its own, on the loopback address whatever the deployment's default.
            session().ServerPort = server->port();
            session().ServerAddress = QStringLiteral("127.0.0.1");
            w = std::make_unique<FrmWisplineClient>(login.get());
            w->Form_Load();
            if (!w->link().hasEnded()) {
                w->show();
                w->Form_Activate();
            }
        });
        login->cmdOK_Click();
    }

    // Logs on and waits until the server's level has arrived and the layout is shown.
    bool logOnClient(const QString& typedName, const QString& password, const QString& level)
    {
        openClient(typedName, password);
        return w && QTest::qWaitFor(
                        [&] {
                            return session().UserLevel == level &&
                                   w->fraLevel1And2->isVisibleTo(w.get()) &&
                                   w->txtSendData->isEnabled();
                        },
                        kWait);
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
        resetSession();
        seams = std::make_unique<test::Seams>();
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        seams->folder.folder = dir->path();
        SessionState& s = session();
        s.ThemeForeColor = 33023;
        s.ThemeBackColor = 0;
        s.VersionString = programVersion();
        s.MessageLogPath = dir->filePath(messageLogFileName(seams->clock.value.date()));

        server = std::make_unique<ServerProcess>();
        QVERIFY2(server->start(dir->filePath(QStringLiteral("server.db"))),
                 qPrintable(server->output()));
    }

    void cleanup()
    {
        w.reset();
        login.reset();
        peers.clear();
        server.reset();
        seams.reset();
        dir.reset();
        resetSession();
    }

    void logOnShowsTheLevelTheServerKeeps_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("level");
        QTest::newRow("level 1, typed in lower case")
            << QStringLiteral("alice") << QStringLiteral("alice1") << QStringLiteral("ALICE")
            << QStringLiteral("1");
        QTest::newRow("level 2, spaces around the name")
            << QStringLiteral(" Bob ") << QStringLiteral("bob2") << QStringLiteral("BOB")
            << QStringLiteral("2");
        QTest::newRow("level 3") << QStringLiteral("DAVE") << QStringLiteral("dave3")
                                 << QStringLiteral("DAVE") << QStringLiteral("3");
    }
    void logOnShowsTheLevelTheServerKeeps()
    {
        QFETCH(QString, typed);
        QFETCH(QString, password);
        QFETCH(QString, name);
        QFETCH(QString, level);
        QVERIFY(logOnClient(typed, password, level));
        QCOMPARE(w->windowTitle(), QStringLiteral("VESK Parlonet (Ver") + programVersion() +
                                       QStringLiteral(")   UserName:") + name +
                                       QStringLiteral("    Level:") + level);
        const QString connected = QStringLiteral("Connected To Server with username ") + name +
                                  QStringLiteral(" Properly at 10:32:15");
        QVERIFY(linesOf(w->RTBox).contains(connected));
        QCOMPARE(colourOf(w->RTBox, connected), QColor(0, 0, 255));
        QVERIFY(!login->isVisible());
        QVERIFY(w->tray().isInstalled());
        QVERIFY(seams->boxes.shown.isEmpty());
        QVERIFY(!seams->exit.ended());
    }

    void wrongPasswordShowsTheServersReasonAndEnds()
    {
        openClient(QStringLiteral("alice"), QStringLiteral("alice2"));
        QTRY_VERIFY_WITH_TIMEOUT(seams->exit.ended(), kWait);
        QCOMPARE(seams->boxes.count(), 1);
        QCOMPARE(seams->boxes.last().text, QStringLiteral("Invalid user name or password."));
        QCOMPARE(seams->boxes.last().title, QStringLiteral("Server Info"));
        QCOMPARE(seams->boxes.last().icon, BoxIcon::Critical);
        QVERIFY(session().UserLevel.isEmpty());
        QVERIFY(!w->tray().isInstalled());
    }

    void userListsFollowTheServerOnBothSides()
    {
        WireClient* bob = peer(QStringLiteral("BOB"), QStringLiteral("bob2"));
        WireClient* dave = peer(QStringLiteral("DAVE"), QStringLiteral("dave3"));
        QVERIFY(bob && dave);
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));

        // Users already connected come with the log-on; the client is not in its own lists.
        QTRY_COMPARE_WITH_TIMEOUT(listTexts(w->lstLevel2), QStringList{QStringLiteral("BOB")},
                                  kWait);
        QTRY_COMPARE_WITH_TIMEOUT(listTexts(w->lstLevel3), QStringList{QStringLiteral("DAVE")},
                                  kWait);
        QVERIFY(listTexts(w->lstLevel1).isEmpty());
        // And the others learn about the client.
        QCOMPARE(bob->take(QStringLiteral("USRS"), QStringLiteral("ALICE1"), kWait).value(2),
                 QStringLiteral("ExitEnd"));
        QCOMPARE(dave->take(QStringLiteral("USRS"), QStringLiteral("ALICE1"), kWait).value(2),
                 QStringLiteral("ExitEnd"));

        WireClient* carol = peer(QStringLiteral("carol"), QStringLiteral("carol2"));
        QVERIFY(carol);
        QTRY_COMPARE_WITH_TIMEOUT(listTexts(w->lstLevel2),
                                  (QStringList{QStringLiteral("BOB"), QStringLiteral("CAROL")}),
                                  kWait);

        // A log-out and a dropped connection both take the user off the lists.
        carol->send("LOU~CAROL2");
        QTRY_COMPARE_WITH_TIMEOUT(listTexts(w->lstLevel2), QStringList{QStringLiteral("BOB")},
                                  kWait);
        dave->socket().abort();
        QTRY_VERIFY_WITH_TIMEOUT(listTexts(w->lstLevel3).isEmpty(), kWait);
        QCOMPARE(listTexts(w->lstLevel2), QStringList{QStringLiteral("BOB")});
        QVERIFY(seams->boxes.shown.isEmpty());
    }

    void messageFromTheClientReachesThePeer_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("body");
        QTest::newRow("spaces around the text are not sent")
            << QStringLiteral("  lunch at one?  ") << QStringLiteral("lunch at one?");
        QTest::newRow("latin-1 letters travel as single bytes")
            << QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln")
            << QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln");
    }
    void messageFromTheClientReachesThePeer()
    {
        QFETCH(QString, typed);
        QFETCH(QString, body);
        WireClient* bob = peer(QStringLiteral("BOB"), QStringLiteral("bob2"));
        QVERIFY(bob);
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));
        QTRY_COMPARE_WITH_TIMEOUT(w->lstLevel2->count(), 1, kWait);

        QVERIFY(clickEntry(w->lstLevel2, QStringLiteral("BOB")));
        typeAndSend(typed);

        const QStringList snd = bob->take(QStringLiteral("SND"), {}, kWait);
        QCOMPARE(snd.size(), 3);
        QVERIFY2(wholeLine(delivered(QStringLiteral("ALICE"), body)).match(snd.at(1)).hasMatch(),
                 qPrintable(snd.at(1)));
        QCOMPARE(snd.at(2), QStringLiteral("ExitEnd"));
        // On the wire: one byte per character, the server's framing around it.
        QVERIFY(bob->rawInput().contains("SND~" + snd.at(1).toLatin1() + "~ExitEnd`"));
        QVERIFY(bob->rawInput().contains(body.toLatin1()));

        const QString echo = QStringLiteral("ALICE >> ") + body + QStringLiteral(" [To BOB]");
        QVERIFY(linesOf(w->RTBox).contains(echo));
        QCOMPARE(colourOf(w->RTBox, echo), QColor(0, 0, 0));
        QVERIFY(w->txtSendData->text().isEmpty());
        QVERIFY(w->lstLevel2->selectedItems().isEmpty());
        QVERIFY(seams->boxes.shown.isEmpty());
    }

    void messageFromThePeerReachesTheClient_data()
    {
        QTest::addColumn<QString>("body");
        QTest::newRow("plain text") << QStringLiteral("see you there");
        QTest::newRow("latin-1 letters arrive intact")
            << QStringLiteral("\u00e0 bient\u00f4t, J\u00fcrgen");
    }
    void messageFromThePeerReachesTheClient()
    {
        QFETCH(QString, body);
        WireClient* bob = peer(QStringLiteral("BOB"), QStringLiteral("bob2"));
        QVERIFY(bob);
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));

        bob->send(
            (QStringLiteral("SND~BOB2~") + body + QStringLiteral("~ALICE1~NOONE")).toLatin1());
        QTRY_VERIFY_WITH_TIMEOUT(
            !lineMatching(w->RTBox, delivered(QStringLiteral("BOB"), body)).isNull(), kWait);
        const QString line = lineMatching(w->RTBox, delivered(QStringLiteral("BOB"), body));
        QCOMPARE(colourOf(w->RTBox, line), QColor(0, 0, 255));

        // The pop-up shows the body with the spaces that stood next to it.
        const QString popUp = QLatin1Char(' ') + body + QLatin1Char(' ');
        QCOMPARE(w->AlertText, popUp);
        QCOMPARE(w->frmAlert().lblAlert->text(), popUp);
        QVERIFY(w->frmAlert().isLoaded());
        QVERIFY(w->flash().FlashTimer.isActive());
        QVERIFY(seams->boxes.shown.isEmpty());
    }

    void messageKeptWhileOfflineArrivesAtTheNextLogOn()
    {
        WireClient* bob = peer(QStringLiteral("BOB"), QStringLiteral("bob2"));
        QVERIFY(bob);
        bob->send("SND~BOB2~kept for you~ALICE1~NOONE");
        QVERIFY(bob->sync()); // the server has stored it

        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));
        const QString pattern = delivered(QStringLiteral("BOB"), QStringLiteral("kept for you"));
        QTRY_VERIFY_WITH_TIMEOUT(!lineMatching(w->RTBox, pattern).isNull(), kWait);
        QCOMPARE(colourOf(w->RTBox, lineMatching(w->RTBox, pattern)), QColor(255, 0, 255));
        // It follows the log-on line, and it raises no pop-up.
        const QStringList lines = linesOf(w->RTBox);
        QVERIFY(lines.indexOf(lineMatching(w->RTBox, pattern)) >
                lines.indexOf(QRegularExpression(QStringLiteral("^Connected To Server.*"))));
        QCOMPARE(w->frmAlert().state(), FrmAlert::State::NotLoaded);
        QVERIFY(w->flash().FlashTimer.isActive());
    }

    void groupMessageReachesEveryLevel2UserOnly()
    {
        WireClient* bob = peer(QStringLiteral("BOB"), QStringLiteral("bob2"));
        WireClient* carol = peer(QStringLiteral("CAROL"), QStringLiteral("carol2"));
        WireClient* dave = peer(QStringLiteral("DAVE"), QStringLiteral("dave3"));
        QVERIFY(bob && carol && dave);
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));
        QTRY_COMPARE_WITH_TIMEOUT(w->lstLevel2->count(), 2, kWait);
        QVERIFY(w->chkAllLevel2->isVisibleTo(w.get()));

        QTest::mouseClick(w->chkAllLevel2, Qt::LeftButton, {},
                          QPoint(8, w->chkAllLevel2->height() / 2));
        QVERIFY(w->chkAllLevel2->isChecked());
        QCOMPARE(w->lstLevel2->selectedItems().size(), 2);
        typeAndSend(QStringLiteral("meeting at ten"));

        const QString pattern =
            delivered(QStringLiteral("ALICE"), QStringLiteral("meeting at ten"));
        for (WireClient* level2 : {bob, carol}) {
            const QStringList snd = level2->take(QStringLiteral("SND"), {}, kWait);
            QVERIFY2(wholeLine(pattern).match(snd.value(1)).hasMatch(), qPrintable(snd.value(1)));
        }
        // Everything for DAVE sent before his handshake answer has arrived by now.
        QVERIFY(dave->sync());
        QVERIFY(dave->received(QStringLiteral("SND")).isEmpty());

        QVERIFY(linesOf(w->RTBox).contains(
            QStringLiteral("ALICE >> meeting at ten [To All Level2 Users]")));
        QVERIFY(!w->chkAllLevel2->isChecked());
        QVERIFY(w->lstLevel2->selectedItems().isEmpty());
    }

    void downloadShowsTheDaysMessagesOfTheUser()
    {
        WireClient* bob = peer(QStringLiteral("BOB"), QStringLiteral("bob2"));
        QVERIFY(bob);
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));
        QTRY_COMPARE_WITH_TIMEOUT(w->lstLevel2->count(), 1, kWait);

        QVERIFY(clickEntry(w->lstLevel2, QStringLiteral("BOB")));
        typeAndSend(QStringLiteral("first"));
        QVERIFY(!bob->take(QStringLiteral("SND"), {}, kWait).isEmpty());
        bob->send("SND~BOB2~second~ALICE1~NOONE");
        bob->send("SND~BOB2~not for alice~CAROL2~NOONE");
        QVERIFY(bob->sync());
        QTRY_VERIFY_WITH_TIMEOUT(
            !lineMatching(w->RTBox, delivered(QStringLiteral("BOB"), QStringLiteral("second")))
                 .isNull(),
            kWait);

        w->mnuDownloadMessages_Click();
        QTRY_VERIFY_WITH_TIMEOUT(w->fraAllMessages->isVisibleTo(w.get()), kWait);
        const QStringList lines = linesOf(w->RTBAllMsgs);
        QCOMPARE(lines.size(), 3);
        QVERIFY2(wholeLine(kDayTime + QStringLiteral(" ALICE -> BOB : first"))
                     .match(lines.at(0))
                     .hasMatch(),
                 qPrintable(lines.at(0)));
        QVERIFY2(wholeLine(kDayTime + QStringLiteral(" BOB -> ALICE : second"))
                     .match(lines.at(1))
                     .hasMatch(),
                 qPrintable(lines.at(1)));
        QCOMPARE(lines.at(2), QStringLiteral("Press Esc Key to go back to Main Window."));
        QCOMPARE(colourOf(w->RTBAllMsgs, lines.at(0)), QColor(0, 0, 0));
        QCOMPARE(colourOf(w->RTBAllMsgs, lines.at(2)), QColor(255, 0, 0));
        QVERIFY(seams->boxes.shown.isEmpty());
    }

    void downloadOfAnEmptyDaySaysSo()
    {
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));
        w->mnuDownloadMessages_Click();
        QTRY_COMPARE_WITH_TIMEOUT(seams->boxes.count(), 1, kWait);
        QCOMPARE(seams->boxes.last().text, QStringLiteral("No Messages To Display"));
        QCOMPARE(seams->boxes.last().title, QStringLiteral("Day Messages"));
        QVERIFY(!w->fraAllMessages->isVisibleTo(w.get()));
    }

    void passwordChangeHoldsForTheNextLogOn()
    {
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));

        bool filledIn = false;
        // The password view is modal: it is filled in while its own event loop runs.
        QTimer::singleShot(0, this, [&] {
            if (!login->isVisible() || !login->FramePassword->isVisible())
                return; // the loop then never ends, and the wait below fails
            filledIn = true;
            QCOMPARE(login->windowTitle(), QStringLiteral("Wispline(Change Password)"));
            login->txtOldPassword->setText(QStringLiteral("alice1"));
            login->TxtNewPassword->setText(QStringLiteral("fresh9"));
            login->TxtConfirmNewPassword->setText(QStringLiteral("fresh9"));
            login->CmdChange_Click();
        });
        QTimer guard; // a view that never closes must not hang the run
        guard.setSingleShot(true);
        connect(&guard, &QTimer::timeout, login.get(), [this] { login->CmdCancel_Click(); });
        guard.start(kWait);
        w->mnuChangePassword_Click();
        guard.stop();
        QVERIFY(filledIn);
        QVERIFY(!login->isVisible());

        QTRY_COMPARE_WITH_TIMEOUT(seams->boxes.count(), 1, kWait);
        QCOMPARE(seams->boxes.last().text, QStringLiteral("Password changed successfully."));
        QCOMPARE(seams->boxes.last().title, QStringLiteral("Server Info"));
        QCOMPARE(seams->boxes.last().icon, BoxIcon::Information);
        QCOMPARE(session().Password, QStringLiteral("fresh9"));

        WireClient stale;
        QVERIFY(stale.connectTo(server->port()));
        const QStringList refused = stale.logOn(QStringLiteral("ALICE"), QStringLiteral("alice1"));
        QCOMPARE(refused.value(0), QStringLiteral("Invalid"));
        QVERIFY(!seams->exit.ended());
        QVERIFY(peer(QStringLiteral("ALICE"), QStringLiteral("fresh9")));
    }

    void serverShutdownIsShownAndTheListsEmpty()
    {
        WireClient* bob = peer(QStringLiteral("BOB"), QStringLiteral("bob2"));
        QVERIFY(bob);
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));
        QTRY_COMPARE_WITH_TIMEOUT(w->lstLevel2->count(), 1, kWait);

        server->terminate();
        QTRY_VERIFY_WITH_TIMEOUT(
            !lineMatching(w->RTBox, QStringLiteral("Server is shutting down.")).isNull(), kWait);
        QCOMPARE(colourOf(w->RTBox, QStringLiteral("Server is shutting down.")), QColor(255, 0, 0));
        QCOMPARE(w->lstLevel1->count() + w->lstLevel2->count() + w->lstLevel3->count(), 0);
        QCOMPARE(w->windowTitle(), QStringLiteral("VESK Parlonet Ver( ") + programVersion() +
                                       QStringLiteral(") <---> {Server Connection Lost}"));
        QVERIFY(!w->txtSendData->isEnabled());
        QCOMPARE(bob->take(QStringLiteral("SHT"), {}, kWait).value(1),
                 QStringLiteral("Server is shutting down."));

        // The server then closes the connection, which ends the client without a word.
        QTRY_VERIFY_WITH_TIMEOUT(seams->exit.ended(), kWait);
        QCOMPARE(seams->exit.ends.first(), QStringLiteral("tcpClient_Close"));
        QVERIFY(seams->boxes.shown.isEmpty());
        QCOMPARE(server->waitForExit(), 0);
    }

    void secondLogOnOfTheSameUserEndsTheFirst()
    {
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));
        QVERIFY(peer(QStringLiteral("ALICE"), QStringLiteral("alice1")));

        QTRY_VERIFY_WITH_TIMEOUT(seams->exit.ended(), kWait);
        QCOMPARE(seams->boxes.count(), 1);
        QCOMPARE(seams->boxes.last().text, kOtherLogon);
        QCOMPARE(seams->boxes.last().title, QStringLiteral("Server Info"));
        QCOMPARE(seams->boxes.last().icon, BoxIcon::Critical);
        QVERIFY(seams->exit.ends.first().endsWith(QLatin1String("OtLog")));
        QVERIFY(!w->tray().isInstalled());
        QVERIFY(!w->link().isConnected());
    }

    void confirmedShutdownLogsOutAndKeepsTheLog()
    {
        WireClient* bob = peer(QStringLiteral("BOB"), QStringLiteral("bob2"));
        QVERIFY(bob);
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));
        bob->send("SND~BOB2~before you go~ALICE1~NOONE");
        QTRY_VERIFY_WITH_TIMEOUT(!lineMatching(w->RTBox, delivered(QStringLiteral("BOB"),
                                                                   QStringLiteral("before you go")))
                                      .isNull(),
                                 kWait);

        seams->boxes.answers = {BoxAnswer::Yes};
        w->mnuExit->trigger();
        QVERIFY(seams->exit.ended());
        QCOMPARE(seams->boxes.last().text, QStringLiteral(" Do you want to Shutdown Wispline ? "));
        QCOMPARE(bob->take(QStringLiteral("LGO"), {}, kWait).value(1), QStringLiteral("ALICE1"));

        // The server forgot the user: the next one to arrive sees only BOB.
        WireClient* carol = peer(QStringLiteral("CAROL"), QStringLiteral("carol2"));
        QVERIFY(carol);
        QCOMPARE(carol->take(QStringLiteral("USRS"), {}, kWait),
                 (QStringList{QStringLiteral("USRS"), QStringLiteral("BOB2"),
                              QStringLiteral("ExitEnd")}));

        QFile log(session().MessageLogPath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString saved = QString::fromLatin1(log.readAll());
        QVERIFY(saved.contains(
            QStringLiteral("Connected To Server with username ALICE Properly at 10:32:15\r\n")));
        QVERIFY(
            QRegularExpression(delivered(QStringLiteral("BOB"), QStringLiteral("before you go")))
                .match(saved)
                .hasMatch());
        QVERIFY(saved.endsWith(QStringLiteral("Diconnected At 10:32:15\r\n\r\n")));
    }

    void closeAnsweringTheLogOutDoesNotCutTheShutdownShort()
    {
        WireClient* bob = peer(QStringLiteral("BOB"), QStringLiteral("bob2"));
        QVERIFY(bob);
        QVERIFY(
            logOnClient(QStringLiteral("alice"), QStringLiteral("alice1"), QStringLiteral("1")));
        QTRY_COMPARE_WITH_TIMEOUT(w->lstLevel2->count(), 1, kWait);

        // The server answers LOU by closing the connection. This runs inside the yield that
        // follows the log-out and returns once that close has reached the client's socket, so
        // the yield finds it waiting, as it does whenever the server is quick.
        const int socket = int(w->link().tcpClient->socketDescriptor());
        bool closeArrived = false;
        QMetaObject::invokeMethod(
            this,
            [&] {
                pollfd p{socket, POLLRDHUP, 0};
                closeArrived = ::poll(&p, 1, kWait) == 1;
            },
            Qt::QueuedConnection);
        seams->boxes.answers = {BoxAnswer::Yes};
        w->mnuExit->trigger();
        QVERIFY(closeArrived);
        QCOMPARE(bob->take(QStringLiteral("LGO"), {}, kWait).value(1), QStringLiteral("ALICE1"));

        // The shutdown itself ends the program, after its last save of the message log; a close
        // noticed on the way must not end it first, which would lose that save.
        QCOMPARE(seams->exit.ends, QStringList{QStringLiteral("Form_QueryUnload")});
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
