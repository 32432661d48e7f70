// The log-on window: loading, logging on, saving, key filters, the password change and the
// adapter address it sends.
#include "TestSeams.h"
#include "app/SessionState.h"
#include "app/Settings.h"
#include "logon/FrmLogin.h"
#include "logon/MacAddress.h"
#include "messaging/FakeLink.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <stdexcept>

using namespace wispline;

Q_DECLARE_METATYPE(wispline::AdapterRecord)

namespace wispline::test
{

class MadeUpAdapters final : public AdapterList
{
public:
    QList<AdapterRecord> list;
    bool fail = false;
    QList<AdapterRecord> adapters() const override
    {
        if (fail)
            throw std::runtime_error("adapter list unavailable");
        return list;
    }
    static AdapterRecord record(const QByteArray& hex, std::uint32_t type = kAdapterTypeEthernet,
                                bool physical = false)
    {
        return AdapterRecord{QByteArray::fromHex(hex), type, physical};
    }
};

// Seams, one Ethernet adapter, an empty settings store and the session as Main leaves it
// before the log-on window opens.
struct LogonFixture {
    Seams seams;
    MadeUpAdapters adapters;

    LogonFixture()
    {
        adapters.list = {MadeUpAdapters::record("0a1b2c3d4e5f")};
        setAdapterList(&adapters);
        QSettings store(settings::filePath(), QSettings::IniFormat);
        store.clear();
        store.sync();
        resetSession();
        session().ThemeForeColor = 33023;
        session().ThemeBackColor = 0;
    }
    ~LogonFixture() { setAdapterList(nullptr); }
};

} // namespace wispline::test

namespace
{

const QString kMissing = QStringLiteral("<missing>");

void fillLogonView(FrmLogin& w, const QString& mode, const QString& port, const QString& user,
                   const QString& password)
{
    w.cmbMode->setEditText(mode);
    w.txtPortNo->setText(port);
    w.txtUserName->setText(user);
    w.txtPassword->setText(password);
}

const QString kOldPassword = QStringLiteral("Secret1");

void fillPasswordView(FrmLogin& w, const QString& oldPassword, const QString& newPassword,
                      const QString& confirm)
{
    w.txtOldPassword->setText(oldPassword);
    w.TxtNewPassword->setText(newPassword);
    w.TxtConfirmNewPassword->setText(confirm);
}

QStringList passwordView(const FrmLogin& w)
{
    return {w.txtOldPassword->text(), w.TxtNewPassword->text(), w.TxtConfirmNewPassword->text()};
}

} // namespace

class TestLogon : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::LogonFixture> f;
    QTemporaryDir system_;
    test::FakeLink link;
    std::unique_ptr<FrmLogin> pw; // the password change's window

    // The window as the password change finds it: logged on, with a link.
    void openPasswordWindow()
    {
        pw = std::make_unique<FrmLogin>();
        pw->setLinkWriter(&link);
        SessionState& s = session();
        s.UserName = QStringLiteral("SMITH");
        s.Password = kOldPassword;
        s.UserLevel = QStringLiteral("2");
        s.LogonDone = true;
    }

    // Opens the view from the menu; `whileOpen` runs inside the modal show, which is then
    // left whatever happened there. False when the modal show never ran it.
    bool openFromMenu(const std::function<void()>& whileOpen)
    {
        pw->hide();
        bool ran = false;
        QTimer::singleShot(0, pw.get(), [&] {
            ran = true;
            whileOpen();
            pw->hide();
        });
        pw->mnuChangePassword_Click();
        return ran;
    }

private slots:
    void initTestCase()
    {
        // The administrator's addresses, from a file of the test's own.
        QSettings::setPath(QSettings::IniFormat, QSettings::SystemScope, system_.path());
        QSettings deployment(QSettings::IniFormat, QSettings::SystemScope,
                             QStringLiteral("AkWispline"), QStringLiteral("AkWispline"));
        deployment.setValue(QStringLiteral("Deployment/InternetServer"), "internet.example");
        deployment.setValue(QStringLiteral("Deployment/DefaultServer"), "lan.example");
    }
    void init()
    {
        f = std::make_unique<test::LogonFixture>();
        link.connected = true;
        link.sent.clear();
        link.duringSend = nullptr;
    }
    void cleanup()
    {
        pw.reset();
        f.reset();
    }

    void load_data()
    {
        // stored: AkWLUser|AkWLMode|AkWLSelection|AkWLSize|AkWLpopup
        // probe: ethernet, none, other or fail.
        for (const char* column :
             {"stored", "probe", "expectedMode", "expectedBools", "expectedMac", "focus"})
            QTest::addColumn<QString>(column);
        const QString m = kMissing;
        const QString mac = QStringLiteral("0A-1B-2C-3D-4E-5F");
        const QString notFound = QStringLiteral("MAC Not Found");
        using test::textRow;
        textRow("first start",
                {QStringList(5, m).join('|'), "ethernet", "Internet", "000", mac, "txtUserName"});
        textRow("stored values, no adapters",
                {"smith|LAN|True|False|True", "none", "LAN", "101", notFound, "txtPassword"});
        textRow("mode outside the list with spaces, only other adapters",
                {"smith| Dial-up |False|True|False", "other", " Dial-up ", "010",
                 "2 Adapter(s):\r\n", "txtPassword"});
        textRow("numbers as Booleans, failing probe skips only its step",
                {"smith|VSAT|1|0|-1", "fail", "VSAT", "101", notFound, "txtPassword"});
    }

    void load()
    {
        QFETCH(QString, stored);
        QFETCH(QString, probe);
        QFETCH(QString, expectedBools);
        QFETCH(QString, focus);
        const QStringList values = stored.split(QLatin1Char('|'));
        const QStringList keys = {settings::kUser, settings::kMode, settings::kSelection,
                                  settings::kSize, settings::kPopup};
        for (int i = 0; i < keys.size(); ++i) {
            if (values.at(i) != kMissing)
                settings::save(keys.at(i), values.at(i));
        }
        if (probe == QLatin1String("none"))
            f->adapters.list.clear();
        if (probe == QLatin1String("other"))
            f->adapters.list = {AdapterRecord{QByteArray(8, '\1'), 71}, AdapterRecord{{}, 23}};
        f->adapters.fail = probe == QLatin1String("fail");

        FrmLogin w;
        QCOMPARE(w.txtUserName->text(), values.at(0) == kMissing ? QString() : values.at(0));
        QTEST(w.modeText(), "expectedMode");
        const SessionState& s = session();
        QCOMPARE(QString::number(s.RestoreSelectionOn) + QString::number(s.WindowSizeLarge) +
                     QString::number(s.PopupDisabled),
                 expectedBools);
        QTEST(w.LBLMACIP->text(), "expectedMac");
        QVERIFY(w.FrameLogin->isVisibleTo(&w) && !w.FramePassword->isVisibleTo(&w));
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTRY_COMPARE(QApplication::focusWidget(), w.findChild<QWidget*>(focus));
        QCOMPARE(f->seams.boxes.count(), 0);
        QCOMPARE(w.palette().color(QPalette::WindowText), QColor(255, 128, 0)); // themed

        for (QLineEdit* box :
             {w.txtPassword, w.txtOldPassword, w.TxtNewPassword, w.TxtConfirmNewPassword}) {
            box->setText(QStringLiteral("a b"));
            QCOMPARE(box->displayText(), QStringLiteral("***"));
        }
    }

    void logon_data()
    {
        // Blank boxes are refused like empty ones, and each check runs before the next.
        for (const char* column :
             {"mode", "port", "user", "password", "message", "focus", "address", "name"})
            QTest::addColumn<QString>(column);
        const QString internet = QStringLiteral("internet.example");
        const QString other = QStringLiteral("lan.example");
        using test::textRow;
        textRow("blank mode before everything",
                {"   ", "", "", "", " Please Select the Mode of Connectivity", "cmdSave", "", ""});
        textRow(
            "blank port before user",
            {"LAN", "  ", "", "", " Port No of the server cannot be empty. ", "txtPortNo", "", ""});
        textRow("blank user before password",
                {"VSAT", "1", "   ", "", " User Name cannot be empty. ", "txtUserName", "", ""});
        textRow("empty password", {"LAN", "30609", "smith", "", " Password cannot be empty. ",
                                   "txtPassword", "", ""});
        textRow("internet", {"Internet", "30609", "  smith ", "secret", "", "", internet, "SMITH"});
        textRow("lower-case internet, port text unused",
                {"internet", "abc", "Smith", "pw", "", "", other, "SMITH"});
        textRow("password of spaces", {"Lease Line", "1", "smith", "   ", "", "", other, "SMITH"});
        textRow("password keeps spaces",
                {"Internet", "1", "smith", " P s ", "", "", internet, "SMITH"});
        // Full Unicode upper-casing sent "STRASSE??": one byte per character.
        textRow("capitals without a single byte stay", {"LAN", "1", "stra\u00DFe\u00FF\u00B5", "pw",
                                                        "", "", other, "STRA\u00DFE\u00FF\u00B5"});
    }

    void logon()
    {
        QFETCH(QString, mode);
        QFETCH(QString, port);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, message);
        QFETCH(QString, focus);
        QFETCH(QString, address);
        QFETCH(QString, name);
        FrmLogin w;
        int accepted = 0;
        // The main window comes up with the session filled, then this window hides, keeping
        // its contents for the server link.
        w.setOnAccepted([&] {
            ++accepted;
            QVERIFY(w.isVisible());
            QCOMPARE(session().ServerAddress, address);
            // A second press while the connection is awaited loaded the main window twice.
            w.cmdOK->click();
        });
        w.show();
        fillLogonView(w, mode, port, user, password);
        w.txtIPAddress->setText(QStringLiteral("10.9.8.7"));
        w.cmdSave->setFocus();
        w.cmdOK->click();

        const SessionState& s = session();
        const bool refused = !message.isEmpty();
        QCOMPARE(f->seams.boxes.lines(),
                 refused ? QStringList{test::box("Wispline Logon", BoxIcon::Critical, message)}
                         : QStringList{});
        QCOMPARE(accepted, refused ? 0 : 1);
        QCOMPARE(w.isVisible(), refused);
        QCOMPARE(s.LogonDone, !refused);
        if (refused) {
            QCOMPARE(w.focusWidget(), w.findChild<QWidget*>(focus));
            QVERIFY(s.UserName.isEmpty() && s.Password.isEmpty());
            return;
        }
        QCOMPARE(s.UserName, name);
        QCOMPARE(s.Password, password);
        QCOMPARE(s.ServerPort, 30609);
        QCOMPARE(s.ServerAddress, address);
        QCOMPARE(w.txtIPAddress->text(), address); // the typed address is replaced
        QCOMPARE(w.modeText(), mode);
    }

    void failureWhileAcceptingIsReported()
    {
        FrmLogin w;
        w.setOnAccepted([] {
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
            throw std::runtime_error("main window failed");
        });
        w.show();
        fillLogonView(w, QStringLiteral("LAN"), QStringLiteral("1"), QStringLiteral("u"),
                      QStringLiteral("p"));
        w.cmdOK_Click();

        QCOMPARE(f->seams.boxes.count(), 1);
        QVERIFY(f->seams.boxes.lines().first().startsWith(QStringLiteral("Wispline Login|")));
        QVERIFY(f->seams.boxes.last().text.endsWith(QStringLiteral("\r\nmain window failed")));
        QVERIFY(QGuiApplication::overrideCursor() == nullptr && w.isVisible());
    }

    void save_data()
    {
        // stored: AkWLIP|AkWLPort|AkWLUser|AkWLMode
        for (const char* column : {"address", "port", "user", "mode", "stored"})
            QTest::addColumn<QString>(column);
        using test::textRow;
        textRow("trimmed but the mode", {" h ", " 1 ", "  SmItH ", " LAN ", "h|1|SmItH| LAN "});
        textRow("port: leading digits, no zeros", {"h", "0012ab", "u", "VSAT", "h|12|u|VSAT"});
        textRow("nothing validated, no digits", {"", "ab", "", "", "|0||"});
    }

    void save()
    {
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, user);
        QFETCH(QString, mode);
        QFETCH(QString, stored);
        const QString password = QStringLiteral("Zq9!unique");
        FrmLogin w;
        w.show();
        w.txtIPAddress->setText(address);
        fillLogonView(w, mode, port, user, password);
        QTest::mouseClick(w.cmdSave, Qt::LeftButton);

        QStringList values;
        for (const QString& key :
             {settings::kIP, settings::kPort, settings::kUser, settings::kMode})
            values << settings::get(key, kMissing);
        QCOMPARE(values.join(QLatin1Char('|')), stored);
        QCOMPARE(
            f->seams.boxes.lines(),
            QStringList{test::box("Save Settings", BoxIcon::Information,
                                  "Settings Saved Successfully.\r\nPassword will not be Saved.")});
        QCOMPARE(w.focusWidget(), w.txtPassword);
        QSettings store(settings::filePath(), QSettings::IniFormat);
        for (const QString& key : store.allKeys())
            QVERIFY2(!store.value(key).toString().contains(password), qPrintable(key));
    }

    // Before log-on, closing the window is leaving the program; afterwards it only hides.
    void exitAndClose()
    {
        FrmLogin w;
        w.show();
        QTest::keyClick(w.txtUserName, Qt::Key_Escape); // Esc is no way out of the log-on view
        QVERIFY(!f->seams.exit.ended() && w.isVisible());
        QTest::mouseClick(w.CmdExit, Qt::LeftButton);
        w.close();
        QCOMPARE(f->seams.exit.ends, (QStringList{"CmdExit_Click", "CmdExit_Click"}));
        session().LogonDone = true;
        w.close();
        QCOMPARE(f->seams.exit.ends.size(), 2);
        QVERIFY(!w.isVisible());
    }

    void separatorFilter_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("paste");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expectedText");
        QTest::addColumn<QStringList>("expectedBoxes");
        const QString tilde = QStringLiteral("Tilde (~) key not allowed");
        const QString grave = QStringLiteral("Quote (`) key not allowed");
        for (const char* box : {"txtUserName", "txtPassword", "txtOldPassword", "TxtNewPassword",
                                "TxtConfirmNewPassword"}) {
            QTest::addRow("%s typed", box) << box << false << "a~b`c'd\"e"
                                           << "abcde" << QStringList{tilde, grave};
        }
        // Pasted separators go, with one box per pasted text; pasted quotes stay.
        QTest::newRow("pasted") << "txtPassword" << true << "x~y'z`\""
                                << "xy'z\"" << QStringList{tilde};
        // Each box keeps as many typed characters as it may hold, and no more.
        for (const auto& [box, limit] : {std::pair("txtUserName", 50),
                                         {"txtPassword", 15},
                                         {"txtOldPassword", 15},
                                         {"TxtNewPassword", 15},
                                         {"TxtConfirmNewPassword", 15},
                                         {"txtPortNo", 5}}) {
            QTest::addRow("%s keeps %d typed characters", box, limit)
                << box << false << QString(limit + 1, u'7') << QString(limit, u'7')
                << QStringList{};
        }
        // The connection boxes do not go on the wire as fields: nothing is filtered there.
        for (const char* box : {"cmbMode", "txtIPAddress", "txtPortNo"})
            QTest::addRow("%s unfiltered", box) << box << false << "a~'"
                                                << "a~'" << QStringList{};
    }

    void separatorFilter()
    {
        QFETCH(QString, box);
        QFETCH(bool, paste);
        QFETCH(QString, input);
        QFETCH(QStringList, expectedBoxes);
        FrmLogin w;
        w.FramePassword->show();
        w.show();
        QLineEdit* edit =
            box == QLatin1String("cmbMode") ? w.cmbMode->lineEdit() : w.findChild<QLineEdit*>(box);
        QVERIFY(edit);
        edit->clear();
        if (paste) {
            QGuiApplication::clipboard()->setText(input);
            QTest::keySequence(edit, QKeySequence::Paste);
        } else {
            QTest::keyClicks(edit, input);
        }
        QTEST(edit->text(), "expectedText");
        QStringList expected;
        for (const QString& text : expectedBoxes)
            expected << test::box(QStringLiteral("Invalid Key"), BoxIcon::Information, text);
        QTRY_COMPARE(f->seams.boxes.lines(), expected);
    }

    // At most 15 typed characters, but a longer server name put there by the
    // program is kept whole.
    void addressTypingLimit()
    {
        FrmLogin w;
        w.show();
        QLineEdit* edit = w.txtIPAddress;
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("12345678901234567890"));
        QCOMPARE(edit->text(), QStringLiteral("123456789012345"));

        const QString longName = QStringLiteral("chat-server.example.org");
        edit->setText(longName);
        QCOMPARE(edit->text(), longName);
        edit->end(false);
        QTest::keyClick(edit, Qt::Key_X);
        QCOMPARE(edit->text(), longName);
    }

    // The password change.
    void change_data()
    {
        // linkState: connected, down or none. A refused or unsent change shows `message`; an
        // accepted one sends `sent`.
        for (const char* column :
             {"oldPassword", "newPassword", "confirm", "linkState", "message", "sent"})
            QTest::addColumn<QString>(column);
        const QString oldMsg = QStringLiteral("   Old Password not matching !!!  ");
        const QString userMsg = QStringLiteral(" UserName and Password cannot be same !!!     ");
        const QString unsent = QStringLiteral("40006\r\nWrong protocol or connection state for "
                                              "the requested transaction or request");
        const QString old = kOldPassword;
        const QString c = QStringLiteral("connected");
        using test::textRow;
        textRow("old password in other case", {"secret1", "N3w", "N3w", c, oldMsg, ""});
        textRow("all three empty, old first", {"", "", "", c, oldMsg, ""});
        textRow("new password empty before confirm",
                {old, "", "x", c, " New Password cannot be blank !!!     ", ""});
        textRow("confirm differs in case, before new equals old",
                {old, old, "secret1", c,
                 " New Password and Confirm New Password are not matching !!!     ", ""});
        textRow("new equals old",
                {old, old, old, c, " New Password and Old Password cannot be same !!!     ", ""});
        textRow("new equals user name in other case", {old, "smith", "smith", c, userMsg, ""});
        textRow("blanks pass the blank check", {old, "   ", "   ", c, "", "CHPASS~SMITH~2~   "});
        textRow("new password is the old in other case",
                {old, "secret1", "secret1", c, "", "CHPASS~SMITH~2~secret1"});
        // A request that cannot go out is a failure, not a silent success.
        textRow("link not connected", {old, "N3w", "N3w", "down", unsent, ""});
        textRow("no link", {old, "N3w", "N3w", "none", unsent, ""});
    }

    void change()
    {
        openPasswordWindow();
        QFETCH(QString, oldPassword);
        QFETCH(QString, newPassword);
        QFETCH(QString, confirm);
        QFETCH(QString, message);
        QFETCH(QString, sent);
        QFETCH(QString, linkState);
        link.connected = linkState == QLatin1String("connected");
        if (linkState == QLatin1String("none"))
            pw->setLinkWriter(nullptr);
        pw->FrameLogin->hide(); // as the password change finds it: logged on, view shown
        pw->FramePassword->show();
        pw->show();
        fillPasswordView(*pw, oldPassword, newPassword, confirm);
        // A second press while the request is being sent sent CHPASS twice.
        link.duringSend = [this] { QTest::mouseClick(pw->CmdChange, Qt::LeftButton); };
        QTest::mouseClick(pw->CmdChange, Qt::LeftButton);

        QCOMPARE(f->seams.boxes.lines(),
                 message.isEmpty()
                     ? QStringList{}
                     : QStringList{test::box("Change Password", BoxIcon::Critical, message)});
        QCOMPARE(link.sent, sent.isEmpty() ? QStringList{} : QStringList{sent});
        // A refused or unsent change keeps the view open with its contents.
        QCOMPARE(pw->isVisible(), sent.isEmpty());
        if (sent.isEmpty())
            QCOMPARE(passwordView(*pw), (QStringList{oldPassword, newPassword, confirm}));
        // Only the server's reply changes the password in use, so a second change before it
        // is still checked against the old one; nothing is stored.
        QCOMPARE(session().Password, kOldPassword);
        QCOMPARE(QSettings(settings::filePath(), QSettings::IniFormat).allKeys(), QStringList());
    }

    // The menu shows the window modally with the password view emptied; whatever the user
    // does there, the caption and the view stay until the next menu click.
    void menu_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("sent");
        QTest::newRow("change") << "change" << QStringList{"CHPASS~SMITH~2~N3w"};
        QTest::newRow("cancel button sends nothing") << "cancel" << QStringList{};
        QTest::newRow("Esc sends nothing") << "escape" << QStringList{};
        QTest::newRow("window close button sends nothing") << "close" << QStringList{};
    }

    void menu()
    {
        openPasswordWindow();
        QFETCH(QString, action);
        fillPasswordView(*pw, QStringLiteral("left"), QStringLiteral("over"),
                         QStringLiteral("text"));
        QVERIFY(openFromMenu([&] {
            QCOMPARE(pw->windowModality(), Qt::ApplicationModal);
            QCOMPARE(pw->windowTitle(), QStringLiteral("Wispline(Change Password)"));
            QVERIFY(pw->FramePassword->isVisibleTo(pw.get()) &&
                    !pw->FrameLogin->isVisibleTo(pw.get()));
            QCOMPARE(passwordView(*pw), (QStringList{"", "", ""}));
            QTRY_COMPARE(pw->focusWidget(), pw->txtOldPassword);
            fillPasswordView(*pw, kOldPassword, QStringLiteral("N3w"), QStringLiteral("N3w"));
            if (action == QLatin1String("close"))
                pw->close();
            else if (action == QLatin1String("escape"))
                QTest::keyClick(pw->TxtConfirmNewPassword, Qt::Key_Escape);
            else
                QTest::mouseClick(action == QLatin1String("change") ? pw->CmdChange : pw->CmdCancel,
                                  Qt::LeftButton);
            QVERIFY(!pw->isVisible()); // each of them closes the window
        }));
        QTEST(link.sent, "sent");
        QVERIFY(f->seams.boxes.shown.isEmpty() && !f->seams.exit.ended());
        QCOMPARE(pw->windowModality(), Qt::NonModal);
        QCOMPARE(pw->windowTitle(), QStringLiteral("Wispline(Change Password)"));
        QVERIFY(pw->FramePassword->isVisibleTo(pw.get()));
    }

    // The adapter address sent with the log-on.
    void getMacAddress_data()
    {
        QTest::addColumn<QList<AdapterRecord>>("adapters");
        QTest::addColumn<QString>("expected");
        const auto eth = [](const char* hex) { return test::MadeUpAdapters::record(hex); };
        const auto wireless = [](const char* hex) { return test::MadeUpAdapters::record(hex, 71); };
        // Bridges, veth, tun/tap and container networks are Ethernet too; a device wins.
        const auto device = [](const char* hex) {
            return test::MadeUpAdapters::record(hex, kAdapterTypeEthernet, true);
        };

        QTest::newRow("no adapters") << QList<AdapterRecord>{} << QString();
        QTest::newRow("upper case, one-digit bytes, bytes 6 and 7 ignored")
            << QList<AdapterRecord>{eth("000c293a4bbe0708")} << "00-0C-29-3A-4B-BE";
        QTest::newRow("short address padded with zero")
            << QList<AdapterRecord>{eth("0a0b0c")} << "0A-0B-0C-00-00-00";
        QTest::newRow("last ethernet wins, wireless skipped")
            << QList<AdapterRecord>{eth("0a0b0c0d0e0f"), eth("001122aabbcc"),
                                    wireless("a1b2c3d4e5f6")}
            << "00-11-22-AA-BB-CC";
        QTest::newRow("last device before virtual ones")
            << QList<AdapterRecord>{eth("a1b2c3d4e5f6"), device("001122aabbcc"),
                                    device("0a0b0c0d0e0f"), eth("010203040506")}
            << "0A-0B-0C-0D-0E-0F";
        QTest::newRow("no ethernet gives the count line")
            << QList<AdapterRecord>{wireless("001122aabbcc"), test::MadeUpAdapters::record("a1", 9),
                                    wireless("")}
            << "3 Adapter(s):\r\n";
    }

    void getMacAddress()
    {
        QFETCH(QList<AdapterRecord>, adapters);
        f->adapters.list = adapters;
        QTEST(GetMACadr(), "expected");
    }
};

QTEST_MAIN(TestLogon)
#include "tst_logon.moc"
