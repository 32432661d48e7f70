#include "LogonTestSupport.h"
#include "TestSeams.h"
#include "logon/FrmLogin.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <memory>

using namespace wispline;

namespace
{

const QString kOldPassword = QStringLiteral("Secret1");

void fillPasswordView(FrmLogin& w, const QString& oldPassword, const QString& newPassword,
                      const QString& confirm)
{
    w.txtOldPassword->setText(oldPassword);
    w.TxtNewPassword->setText(newPassword);
    w.TxtConfirmNewPassword->setText(confirm);
}

} // namespace

class TestChangePassword : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::Seams> seams;
    test::MadeUpAdapters adapters;
    test::RecordingLink link;
    std::unique_ptr<FrmLogin> w;

    // The window as the password change finds it: logged on, hidden, password view shown.
    void showPasswordView()
    {
        w->FrameLogin->hide();
        w->FramePassword->show();
        w->show();
    }

private slots:
    void init();
    void cleanup();

    void refusedChanges_data();
    void refusedChanges();
    void sendsRequest_data();
    void sendsRequest();
    void unsentRequestIsAnError_data();
    void unsentRequestIsAnError();
    void menuOpensModally_data();
    void menuOpensModally();
    void leavingSendsNothing_data();
    void leavingSendsNothing();
    void secondChangeIsCheckedAgainstOldPassword();
};

void TestChangePassword::init()
{
    seams = std::make_unique<test::Seams>();
    test::resetSessionAsAtStart();
    test::clearSettingsStore();
    adapters.list = {test::MadeUpAdapters::ethernet("0011223344aa")};
    setAdapterList(&adapters);
    link.connected = true;
    link.sent.clear();

    w = std::make_unique<FrmLogin>();
    w->setLinkWriter(&link);
    SessionState& s = session();
    s.UserName = QStringLiteral("SMITH");
    s.Password = kOldPassword;
    s.UserLevel = QStringLiteral("2");
    s.LogonDone = true;
}

void TestChangePassword::cleanup()
{
    w.reset();
    setAdapterList(nullptr);
    seams.reset();
}

void TestChangePassword::refusedChanges_data()
{
    for (const char* column : {"oldPassword", "newPassword", "confirm", "message"})
        QTest::addColumn<QString>(column);
    const QString oldMsg = QStringLiteral("   Old Password not matching !!!  ");
    const QString blankMsg = QStringLiteral(" New Password cannot be blank !!!     ");
    const QString confirmMsg =
        QStringLiteral(" New Password and Confirm New Password are not matching !!!     ");
    const QString sameMsg =
        QStringLiteral(" New Password and Old Password cannot be same !!!     ");
    const QString userMsg = QStringLiteral(" UserName and Password cannot be same !!!     ");
    const QString old = kOldPassword;
    using test::textRow;
    textRow("old password in other case", {"secret1", "N3w", "N3w", oldMsg});
    textRow("old password with a trailing space", {"Secret1 ", "N3w", "N3w", oldMsg});
    textRow("all three empty, old first", {"", "", "", oldMsg});
    textRow("new password empty", {old, "", "", blankMsg});
    textRow("new password empty, confirm filled", {old, "", "x", blankMsg});
    textRow("confirm differs in case", {old, "N3w", "n3w", confirmMsg});
    textRow("confirm has an extra space", {old, "N3w", "N3w ", confirmMsg});
    textRow("new equals old", {old, old, old, sameMsg});
    textRow("new equals user name", {old, "SMITH", "SMITH", userMsg});
    textRow("new equals user name in other case", {old, "smith", "smith", userMsg});
}

void TestChangePassword::refusedChanges()
{
    QFETCH(QString, oldPassword);
    QFETCH(QString, newPassword);
    QFETCH(QString, confirm);
    QFETCH(QString, message);

    showPasswordView();
    fillPasswordView(*w, oldPassword, newPassword, confirm);
    QTest::mouseClick(w->CmdChange, Qt::LeftButton);

    QCOMPARE(seams->boxes.texts(), QStringList{message});
    QCOMPARE(seams->boxes.last().title, QStringLiteral("Change Password"));
    QCOMPARE(seams->boxes.last().icon, BoxIcon::Critical);
    QVERIFY(link.sent.isEmpty());
    QVERIFY(w->isVisible());
    QCOMPARE(w->txtOldPassword->text(), oldPassword);
    QCOMPARE(w->TxtNewPassword->text(), newPassword);
    QCOMPARE(w->TxtConfirmNewPassword->text(), confirm);
    QCOMPARE(session().Password, kOldPassword);
}

void TestChangePassword::sendsRequest_data()
{
    QTest::addColumn<QString>("newPassword");
    QTest::addColumn<QString>("expected");
    using test::textRow;
    textRow("plain new password", {"N3wPass", "CHPASS~SMITH~2~N3wPass"});
    textRow("blanks pass the blank check", {"   ", "CHPASS~SMITH~2~   "});
    textRow("user name inside a longer password", {"smith1", "CHPASS~SMITH~2~smith1"});
    textRow("old password in other case", {"secret1", "CHPASS~SMITH~2~secret1"});
}

void TestChangePassword::sendsRequest()
{
    QFETCH(QString, newPassword);
    QFETCH(QString, expected);

    showPasswordView();
    fillPasswordView(*w, kOldPassword, newPassword, newPassword);
    QTest::mouseClick(w->CmdChange, Qt::LeftButton);

    QCOMPARE(seams->boxes.count(), 0);
    QCOMPARE(link.sent, QStringList{expected});
    QVERIFY(!w->isVisible());
    // Only the server's reply changes the password in use; nothing is stored.
    QCOMPARE(session().Password, kOldPassword);
    QSettings store(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("AkWispline"),
                    QStringLiteral("AkWispline"));
    QCOMPARE(store.allKeys(), QStringList());
}

void TestChangePassword::unsentRequestIsAnError_data()
{
    QTest::addColumn<bool>("haveLink");
    QTest::newRow("link not connected") << true;
    QTest::newRow("no link") << false;
}

void TestChangePassword::unsentRequestIsAnError()
{
    QFETCH(bool, haveLink);
    link.connected = false;
    if (!haveLink)
        w->setLinkWriter(nullptr);

    showPasswordView();
    fillPasswordView(*w, kOldPassword, QStringLiteral("N3w"), QStringLiteral("N3w"));
    w->CmdChange_Click();

    QCOMPARE(seams->boxes.texts(),
             QStringList{"40006\r\nWrong protocol or connection state for the requested "
                         "transaction or request"});
    QCOMPARE(seams->boxes.last().title, QStringLiteral("Change Password"));
    QCOMPARE(seams->boxes.last().icon, BoxIcon::Critical);
    QVERIFY(link.sent.isEmpty());
    QVERIFY(w->isVisible());
    QCOMPARE(w->TxtNewPassword->text(), QStringLiteral("N3w"));
}

void TestChangePassword::menuOpensModally_data()
{
    QTest::addColumn<bool>("logonDone");
    QTest::newRow("after log-on: password view") << true;
    QTest::newRow("before log-on: log-on view") << false;
}

void TestChangePassword::menuOpensModally()
{
    QFETCH(bool, logonDone);
    session().LogonDone = logonDone;
    w->hide();
    fillPasswordView(*w, QStringLiteral("left"), QStringLiteral("over"), QStringLiteral("text"));
    bool ran = false, visible = false, passwordView = false, logonView = false, focus = false;
    Qt::WindowModality modality = Qt::NonModal;
    QString title;
    QStringList boxes;
    QTimer::singleShot(0, w.get(), [&] {
        ran = true;
        visible = w->isVisible();
        modality = w->windowModality();
        title = w->windowTitle();
        passwordView = w->FramePassword->isVisibleTo(w.get());
        logonView = w->FrameLogin->isVisibleTo(w.get());
        boxes = {w->txtOldPassword->text(), w->TxtNewPassword->text(),
                 w->TxtConfirmNewPassword->text()};
        if (logonDone) {
            focus = QTest::qWaitFor([&] { return w->focusWidget() == w->txtOldPassword; });
            fillPasswordView(*w, kOldPassword, QStringLiteral("N3w"), QStringLiteral("N3w"));
            QTest::mouseClick(w->CmdChange, Qt::LeftButton);
        }
        w->hide(); // never leave the modal show waiting, whatever happened above
    });
    w->mnuChangePassword_Click();

    QVERIFY(ran && visible);
    QCOMPARE(modality, Qt::ApplicationModal);
    QCOMPARE(passwordView, logonDone);
    QCOMPARE(logonView, !logonDone);
    QCOMPARE(w->windowModality(), Qt::NonModal);
    if (!logonDone) {
        QCOMPARE(title, QStringLiteral("VESK Chat Login"));
        return;
    }
    QCOMPARE(title, QStringLiteral("Wispline(Change Password)"));
    QCOMPARE(boxes, (QStringList{"", "", ""}));
    QVERIFY(focus);
    QCOMPARE(link.sent, QStringList{"CHPASS~SMITH~2~N3w"});
    // The view and caption stay until the next menu click sets them again.
    QCOMPARE(w->windowTitle(), QStringLiteral("Wispline(Change Password)"));
    QVERIFY(w->FramePassword->isVisibleTo(w.get()));
}

void TestChangePassword::leavingSendsNothing_data()
{
    QTest::addColumn<bool>("closeButton");
    QTest::newRow("cancel button") << false;
    QTest::newRow("window close button") << true;
}

void TestChangePassword::leavingSendsNothing()
{
    QFETCH(bool, closeButton);
    w->hide();
    bool ran = false;
    QTimer::singleShot(0, w.get(), [&] {
        ran = true;
        fillPasswordView(*w, kOldPassword, QStringLiteral("N3w"), QStringLiteral("N3w"));
        if (closeButton)
            w->close();
        else
            QTest::mouseClick(w->CmdCancel, Qt::LeftButton);
        w->hide(); // never leave the modal show waiting
    });
    w->mnuChangePassword_Click();

    QVERIFY(ran);
    QVERIFY(link.sent.isEmpty());
    QCOMPARE(seams->boxes.count(), 0);
    QVERIFY(!seams->exit.ended());
    QCOMPARE(session().Password, kOldPassword);
}

void TestChangePassword::secondChangeIsCheckedAgainstOldPassword()
{
    showPasswordView();
    fillPasswordView(*w, kOldPassword, QStringLiteral("First1"), QStringLiteral("First1"));
    w->CmdChange_Click();
    QCOMPARE(link.sent.size(), 1);

    // No reply yet: the password in use is still the old one.
    showPasswordView();
    fillPasswordView(*w, QStringLiteral("First1"), QStringLiteral("Second2"),
                     QStringLiteral("Second2"));
    w->CmdChange_Click();
    QCOMPARE(seams->boxes.texts(), QStringList{"   Old Password not matching !!!  "});
    QCOMPARE(link.sent.size(), 1);

    fillPasswordView(*w, kOldPassword, QStringLiteral("Second2"), QStringLiteral("Second2"));
    w->CmdChange_Click();
    QCOMPARE(link.sent.last(), QStringLiteral("CHPASS~SMITH~2~Second2"));
}

QTEST_MAIN(TestChangePassword)
#include "tst_changepassword.moc"
