#include "LogonTestSupport.h"
#include "logon/FrmLogin.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <stdexcept>

using namespace wispline;

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

} // namespace

class TestFrmLogin : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::LogonFixture> f;
    QTemporaryDir system_;

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
    void init() { f = std::make_unique<test::LogonFixture>(); }
    void cleanup() { f.reset(); }

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
        textRow("junk as Boolean",
                {"|LAN|junk|yes|", "ethernet", "LAN", "000", mac, "txtUserName"});
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
        QVERIFY(w.FrameLogin->isVisibleTo(&w));
        QVERIFY(!w.FramePassword->isVisibleTo(&w));
        w.show();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        QTRY_COMPARE(QApplication::focusWidget(), w.findChild<QWidget*>(focus));
        QCOMPARE(f->seams.boxes.count(), 0);

        QCOMPARE(w.palette().color(QPalette::Window), QColor(0, 0, 0));
        QCOMPARE(w.palette().color(QPalette::WindowText), QColor(255, 128, 0));
        QCOMPARE(w.TxtNewPassword->font().family(), QStringLiteral("MS Sans Serif")); // hidden
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
        textRow("internet with a space",
                {"Internet ", "30609", "smith", "pw", "", "", other, "SMITH"});
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
        // Pasting goes through the same filter, one box per pasted text.
        QTest::newRow("pasted") << "txtPassword" << true << "x~y'z`"
                                << "xyz" << QStringList{tilde};
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
};

QTEST_MAIN(TestFrmLogin)
#include "tst_frmlogin.moc"
