#include "LogonTestSupport.h"
#include "TestSeams.h"
#include "app/Settings.h"
#include "logon/FrmLogin.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <memory>
#include <stdexcept>

using namespace wispline;

namespace
{

const QString kMissing = QStringLiteral("<missing>");
const QString kTildeBox = QStringLiteral("Tilde (~) key not allowed");
const QString kGraveBox = QStringLiteral("Quote (`) key not allowed");

void storeUnlessMissing(const QString& key, const QString& value)
{
    if (value != kMissing)
        settings::save(key, value);
}

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

    std::unique_ptr<test::Seams> seams;
    test::MadeUpAdapters adapters;

private slots:
    void init()
    {
        seams = std::make_unique<test::Seams>();
        test::resetSessionAsAtStart();
        test::clearSettingsStore();
        adapters.fail = false;
        adapters.list = {test::MadeUpAdapters::ethernet("0a1b2c3d4e5f")};
        setAdapterList(&adapters);
    }
    void cleanup()
    {
        setAdapterList(nullptr);
        seams.reset();
    }

    void load_data();
    void load();
    void activationFocus();
    void themeAndPasswordEcho();
    void logonChecks_data();
    void logonChecks();
    void acceptedLogon_data();
    void acceptedLogon();
    void failureWhileAcceptingIsReported();
    void save_data();
    void save();
    void exitAndClose_data();
    void exitAndClose();
    void separatorFilter_data();
    void separatorFilter();
    void connectionBoxesAreNotFiltered();
    void addressTypingLimit();
};

void TestFrmLogin::load_data()
{
    for (const char* column : {"user", "mode", "boolText", "probe", "expectedMode", "expectedBools",
                               "expectedMac", "expectedFocus"})
        QTest::addColumn<QString>(column);
    // boolText: the stored AkWLSelection, AkWLSize and AkWLpopup joined by "|".
    // probe: "ethernet", "none", "other" or "fail".
    const QString m = kMissing;
    const QString mac = QStringLiteral("0A-1B-2C-3D-4E-5F");
    using test::textRow;
    textRow("first start",
            {m, m, m + "|" + m + "|" + m, "ethernet", "Internet", "000", mac, "txtUserName"});
    textRow("stored user and mode",
            {"smith", "LAN", "True|False|True", "ethernet", "LAN", "101", mac, "txtPassword"});
    textRow("mode outside the list, spaces kept",
            {"smith", " Dial-up ", "False|True|False", "ethernet", " Dial-up ", "010", mac,
             "txtPassword"});
    textRow("numbers as Booleans",
            {"smith", "VSAT", "1|0|-1", "ethernet", "VSAT", "101", mac, "txtPassword"});
    textRow("junk as Boolean",
            {"", "LAN", "junk|yes|", "ethernet", "LAN", "000", mac, "txtUserName"});
    textRow("no adapters", {"smith", "LAN", "True|True|True", "none", "LAN", "111", "MAC Not Found",
                            "txtPassword"});
    textRow("only other adapters", {"smith", "LAN", "True|True|True", "other", "LAN", "111",
                                    "2 Adapter(s):\r\n", "txtPassword"});
    textRow("failing probe skips only its step", {"smith", "LAN", "True|True|True", "fail", "LAN",
                                                  "111", "MAC Not Found", "txtPassword"});
}

void TestFrmLogin::load()
{
    QFETCH(QString, user);
    QFETCH(QString, mode);
    QFETCH(QString, boolText);
    QFETCH(QString, probe);
    QFETCH(QString, expectedBools);
    QFETCH(QString, expectedFocus);
    storeUnlessMissing(settings::kUser, user);
    storeUnlessMissing(settings::kMode, mode);
    const QStringList bools = boolText.split(QLatin1Char('|'));
    storeUnlessMissing(settings::kSelection, bools.at(0));
    storeUnlessMissing(settings::kSize, bools.at(1));
    storeUnlessMissing(settings::kPopup, bools.at(2));
    if (probe == QLatin1String("none"))
        adapters.list.clear();
    if (probe == QLatin1String("other"))
        adapters.list = {AdapterRecord{QByteArray(8, '\1'), 71}, AdapterRecord{QByteArray(), 23}};
    adapters.fail = probe == QLatin1String("fail");

    FrmLogin w;
    QCOMPARE(w.txtUserName->text(), user == kMissing ? QString() : user);
    QTEST(w.modeText(), "expectedMode");
    const SessionState& s = session();
    QCOMPARE(QString::number(s.RestoreSelectionOn) + QString::number(s.WindowSizeLarge) +
                 QString::number(s.PopupDisabled),
             expectedBools);
    QTEST(w.LBLMACIP->text(), "expectedMac");
    QTEST(w.adapterCaption(), "expectedMac");
    QVERIFY(w.FrameLogin->isVisibleTo(&w));
    QVERIFY(!w.FramePassword->isVisibleTo(&w));
    w.Form_Activate();
    QCOMPARE(w.focusWidget(), w.findChild<QWidget*>(expectedFocus));
    QCOMPARE(seams->boxes.count(), 0);
}

void TestFrmLogin::activationFocus()
{
    settings::save(settings::kUser, QStringLiteral("smith"));
    FrmLogin w;
    w.show();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTRY_COMPARE(QApplication::focusWidget(), w.txtPassword);

    // The password view puts the focus in the old-password box; with neither view shown
    // the focus stays where it was.
    w.FrameLogin->hide();
    w.FramePassword->show();
    w.Form_Activate();
    QCOMPARE(w.focusWidget(), w.txtOldPassword);
    w.FramePassword->hide();
    w.cmdSave->setFocus();
    w.Form_Activate();
    QCOMPARE(w.focusWidget(), w.cmdSave);
}

void TestFrmLogin::themeAndPasswordEcho()
{
    FrmLogin w;
    QCOMPARE(w.palette().color(QPalette::Window), QColor(0, 0, 0));
    QCOMPARE(w.palette().color(QPalette::WindowText), QColor(255, 128, 0));
    QCOMPARE(w.cmdOK->palette().color(QPalette::Button), QColor(255, 128, 0));
    // The hidden password view is painted too; the banner picture is left alone.
    QCOMPARE(w.TxtNewPassword->font().family(), QStringLiteral("MS Sans Serif"));
    QVERIFY(w.Picture1->font().family() != QStringLiteral("MS Sans Serif"));
    QCOMPARE(w.Picture1->pixmap().size(), QSize(352, 60));

    for (QLineEdit* box :
         {w.txtPassword, w.txtOldPassword, w.TxtNewPassword, w.TxtConfirmNewPassword}) {
        box->setText(QStringLiteral("abc"));
        QCOMPARE(box->displayText(), QStringLiteral("***"));
    }
}

void TestFrmLogin::logonChecks_data()
{
    for (const char* column : {"mode", "port", "user", "password", "message", "focus"})
        QTest::addColumn<QString>(column);
    const QString modeMsg = QStringLiteral(" Please Select the Mode of Connectivity");
    const QString portMsg = QStringLiteral(" Port No of the server cannot be empty. ");
    const QString userMsg = QStringLiteral(" User Name cannot be empty. ");
    using test::textRow;
    textRow("empty mode before everything", {"", "", "", "", modeMsg, "cmdSave"});
    textRow("blank mode", {"   ", "30609", "smith", "pw", modeMsg, "cmdSave"});
    textRow("empty port", {"LAN", "", "", "", portMsg, "txtPortNo"});
    textRow("blank port", {"LAN", "  ", "smith", "pw", portMsg, "txtPortNo"});
    textRow("empty user", {"Internet", "1", "", "", userMsg, "txtUserName"});
    textRow("blank user", {"VSAT", "1", "   ", "pw", userMsg, "txtUserName"});
    textRow("empty password",
            {"LAN", "30609", "smith", "", " Password cannot be empty. ", "txtPassword"});
}

void TestFrmLogin::logonChecks()
{
    QFETCH(QString, mode);
    QFETCH(QString, port);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, message);
    QFETCH(QString, focus);

    FrmLogin w;
    int accepted = 0;
    w.setOnAccepted([&] { ++accepted; });
    w.show();
    fillLogonView(w, mode, port, user, password);
    w.cmdSave->setFocus();
    w.cmdOK_Click();

    QCOMPARE(seams->boxes.texts(), QStringList{message});
    QCOMPARE(seams->boxes.last().title, QStringLiteral("Wispline Logon"));
    QCOMPARE(seams->boxes.last().icon, BoxIcon::Critical);
    QCOMPARE(w.focusWidget(), w.findChild<QWidget*>(focus));
    QCOMPARE(accepted, 0);
    QVERIFY(w.isVisible());
    QVERIFY(!session().LogonDone);
    QVERIFY(session().UserName.isEmpty() && session().Password.isEmpty());
}

void TestFrmLogin::acceptedLogon_data()
{
    for (const char* column : {"mode", "port", "user", "password", "expectedAddress"})
        QTest::addColumn<QString>(column);
    const QString internet = QStringLiteral(WISPLINE_INTERNET_SERVER);
    const QString other = QStringLiteral(WISPLINE_DEFAULT_SERVER);
    using test::textRow;
    textRow("internet", {"Internet", "30609", "  smith ", "secret", internet});
    textRow("lan", {"LAN", "30609", "Smith", "secret", other});
    textRow("lower-case internet", {"internet", "30609", "smith", "pw", other});
    textRow("internet with a space", {"Internet ", "30609", "smith", "pw", other});
    textRow("port text unused", {"VSAT", "abc", "smith", "pw", other});
    textRow("password of spaces", {"Lease Line", "1", "smith", "   ", other});
    textRow("password keeps spaces", {"Internet", "1", "smith", " P s ", internet});
}

void TestFrmLogin::acceptedLogon()
{
    QFETCH(QString, mode);
    QFETCH(QString, port);
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QString, expectedAddress);

    FrmLogin w;
    int accepted = 0;
    bool visibleWhenAccepted = false;
    QString addressWhenAccepted;
    w.setOnAccepted([&] {
        ++accepted;
        visibleWhenAccepted = w.isVisible();
        addressWhenAccepted = session().ServerAddress;
    });
    w.show();
    fillLogonView(w, mode, port, user, password);
    w.txtIPAddress->setText(QStringLiteral("10.9.8.7"));
    QTest::mouseClick(w.cmdOK, Qt::LeftButton);

    QCOMPARE(seams->boxes.count(), 0);
    const SessionState& s = session();
    QCOMPARE(s.UserName, QStringLiteral("SMITH"));
    QCOMPARE(s.Password, password);
    QCOMPARE(s.ServerPort, 30609);
    QCOMPARE(s.ServerAddress, expectedAddress);
    QCOMPARE(w.txtIPAddress->text(), expectedAddress); // the typed address is replaced
    QVERIFY(s.LogonDone);
    // The main window comes up with the session filled, then this window hides, keeping
    // its contents for the server link.
    QCOMPARE(accepted, 1);
    QVERIFY(visibleWhenAccepted);
    QCOMPARE(addressWhenAccepted, expectedAddress);
    QVERIFY(!w.isVisible());
    QCOMPARE(w.modeText(), mode);
}

void TestFrmLogin::failureWhileAcceptingIsReported()
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

    QCOMPARE(seams->boxes.count(), 1);
    QVERIFY(seams->boxes.last().text.endsWith(QStringLiteral("\r\nmain window failed")));
    QCOMPARE(seams->boxes.last().title, QStringLiteral("Wispline Login"));
    QCOMPARE(seams->boxes.last().icon, BoxIcon::Critical);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    QVERIFY(w.isVisible());
}

void TestFrmLogin::save_data()
{
    for (const char* column : {"address", "port", "user", "mode", "stored"})
        QTest::addColumn<QString>(column);
    // stored: AkWLIP|AkWLPort|AkWLUser|AkWLMode
    using test::textRow;
    textRow("plain", {"10.0.0.5", "30609", "smith", "LAN", "10.0.0.5|30609|smith|LAN"});
    textRow("trimmed but the mode", {" h ", " 1 ", "  SmItH ", " LAN ", "h|1|SmItH| LAN "});
    textRow("port with letters", {"h", "12ab", "u", "VSAT", "h|12|u|VSAT"});
    textRow("port without digits", {"h", "ab", "u", "VSAT", "h|0|u|VSAT"});
    textRow("port with leading zeros", {"h", "00080", "u", "LAN", "h|80|u|LAN"});
    textRow("nothing validated", {"", "", "", "", "|0||"});
}

void TestFrmLogin::save()
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

    QCOMPARE(QStringList({settings::get(settings::kIP, kMissing),
                          settings::get(settings::kPort, kMissing),
                          settings::get(settings::kUser, kMissing),
                          settings::get(settings::kMode, kMissing)})
                 .join(QLatin1Char('|')),
             stored);
    QCOMPARE(seams->boxes.texts(),
             QStringList{"Settings Saved Successfully.\r\nPassword will not be Saved."});
    QCOMPARE(seams->boxes.last().title, QStringLiteral("Save Settings"));
    QCOMPARE(seams->boxes.last().icon, BoxIcon::Information);
    QCOMPARE(w.focusWidget(), w.txtPassword);

    QSettings store(settings::filePath(), QSettings::IniFormat);
    for (const QString& key : store.allKeys())
        QVERIFY2(!store.value(key).toString().contains(password), qPrintable(key));
}

void TestFrmLogin::exitAndClose_data()
{
    QTest::addColumn<bool>("logonDone");
    QTest::addColumn<bool>("useExitButton");
    QTest::addColumn<bool>("ends");

    QTest::newRow("exit button") << false << true << true;
    QTest::newRow("close before log-on") << false << false << true;
    QTest::newRow("close after log-on only hides") << true << false << false;
}

void TestFrmLogin::exitAndClose()
{
    QFETCH(bool, logonDone);
    QFETCH(bool, useExitButton);
    QFETCH(bool, ends);
    FrmLogin w;
    session().LogonDone = logonDone;
    w.show();
    if (useExitButton)
        QTest::mouseClick(w.CmdExit, Qt::LeftButton);
    else
        w.close();
    QCOMPARE(seams->exit.ends, ends ? QStringList{"CmdExit_Click"} : QStringList{});
    if (!ends)
        QVERIFY(!w.isVisible());
}

void TestFrmLogin::separatorFilter_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<bool>("paste");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expectedText");
    QTest::addColumn<QStringList>("expectedBoxes");

    for (const char* box : {"txtUserName", "txtPassword", "txtOldPassword", "TxtNewPassword",
                            "TxtConfirmNewPassword"}) {
        QTest::addRow("%s typed tilde", box) << box << false << "ab~c"
                                             << "abc" << QStringList{kTildeBox};
        QTest::addRow("%s typed grave", box) << box << false << "a`b"
                                             << "ab" << QStringList{kGraveBox};
        QTest::addRow("%s typed quotes", box) << box << false << "it's \"x\""
                                              << "its x" << QStringList{};
        QTest::addRow("%s pasted tilde", box) << box << true << "x~y'z"
                                              << "xyz" << QStringList{kTildeBox};
        QTest::addRow("%s pasted grave", box) << box << true << "p`q"
                                              << "pq" << QStringList{kGraveBox};
    }
}

void TestFrmLogin::separatorFilter()
{
    QFETCH(QString, box);
    QFETCH(bool, paste);
    QFETCH(QString, input);
    QFETCH(QString, expectedText);
    QFETCH(QStringList, expectedBoxes);

    FrmLogin w;
    w.FramePassword->show();
    w.show();
    auto* edit = w.findChild<QLineEdit*>(box);
    QVERIFY(edit);
    if (paste) {
        QGuiApplication::clipboard()->setText(input);
        QTest::keySequence(edit, QKeySequence::Paste);
    } else {
        QTest::keyClicks(edit, input);
    }
    QCOMPARE(edit->text(), expectedText);
    QTRY_COMPARE(seams->boxes.texts(), expectedBoxes);
    for (const BoxRequest& r : std::as_const(seams->boxes.shown)) {
        QCOMPARE(r.title, QStringLiteral("Invalid Key"));
        QCOMPARE(r.icon, BoxIcon::Information);
    }
}

void TestFrmLogin::connectionBoxesAreNotFiltered()
{
    FrmLogin w;
    w.show();
    for (QLineEdit* edit : {w.txtIPAddress, w.cmbMode->lineEdit(), w.txtPortNo}) {
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("a~'"));
        QCOMPARE(edit->text(), QStringLiteral("a~'"));
    }
    QCOMPARE(seams->boxes.count(), 0);
}

// At most 15 typed or pasted characters, but a longer server name put there by the program
// is kept whole.
void TestFrmLogin::addressTypingLimit()
{
    FrmLogin w;
    w.show();
    QLineEdit* edit = w.txtIPAddress;
    const QString twenty = QStringLiteral("12345678901234567890");

    edit->clear();
    QTest::keyClicks(edit, twenty);
    QCOMPARE(edit->text(), twenty.left(15));

    edit->setText(QStringLiteral("10.0.0.1"));
    edit->end(false);
    QGuiApplication::clipboard()->setText(QStringLiteral("abcdefghij"));
    QTest::keySequence(edit, QKeySequence::Paste);
    QCOMPARE(edit->text(), QStringLiteral("10.0.0.1abcdefg"));

    const QString longName = QStringLiteral("chat-server.example.org");
    edit->setText(longName);
    QCOMPARE(edit->text(), longName);
    edit->end(false);
    QTest::keyClick(edit, Qt::Key_X);
    QCOMPARE(edit->text(), longName);
    QTest::keyClick(edit, Qt::Key_Backspace);
    QCOMPARE(edit->text(), longName.chopped(1));
}

QTEST_MAIN(TestFrmLogin)
#include "tst_frmlogin.moc"
