#include "LogonTestSupport.h"
#include "logon/FrmLogin.h"
#include "messaging/FakeLink.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
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

QStringList passwordView(const FrmLogin& w)
{
    return {w.txtOldPassword->text(), w.TxtNewPassword->text(), w.TxtConfirmNewPassword->text()};
}

} // namespace

class TestChangePassword : public QObject
{
    Q_OBJECT

    std::unique_ptr<test::LogonFixture> f;
    test::FakeLink link;
    std::unique_ptr<FrmLogin> w;

    // Opens the view from the menu; `whileOpen` runs inside the modal show, which is then
    // left whatever happened there. False when the modal show never ran it.
    bool openFromMenu(const std::function<void()>& whileOpen)
    {
        w->hide();
        bool ran = false;
        QTimer::singleShot(0, w.get(), [&] {
            ran = true;
            whileOpen();
            w->hide();
        });
        w->mnuChangePassword_Click();
        return ran;
    }

private slots:
    void init()
    {
        f = std::make_unique<test::LogonFixture>();
        link.connected = true;
        link.sent.clear();
        link.duringSend = nullptr;
        w = std::make_unique<FrmLogin>();
        w->setLinkWriter(&link);
        SessionState& s = session();
        s.UserName = QStringLiteral("SMITH");
        s.Password = kOldPassword;
        s.UserLevel = QStringLiteral("2");
        s.LogonDone = true;
    }
    void cleanup()
    {
        w.reset();
        f.reset();
    }

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
        QFETCH(QString, oldPassword);
        QFETCH(QString, newPassword);
        QFETCH(QString, confirm);
        QFETCH(QString, message);
        QFETCH(QString, sent);
        QFETCH(QString, linkState);
        link.connected = linkState == QLatin1String("connected");
        if (linkState == QLatin1String("none"))
            w->setLinkWriter(nullptr);
        w->FrameLogin->hide(); // as the password change finds it: logged on, view shown
        w->FramePassword->show();
        w->show();
        fillPasswordView(*w, oldPassword, newPassword, confirm);
        // A second press while the request is being sent sent CHPASS twice.
        link.duringSend = [this] { QTest::mouseClick(w->CmdChange, Qt::LeftButton); };
        QTest::mouseClick(w->CmdChange, Qt::LeftButton);

        QCOMPARE(f->seams.boxes.lines(),
                 message.isEmpty()
                     ? QStringList{}
                     : QStringList{test::box("Change Password", BoxIcon::Critical, message)});
        QCOMPARE(link.sent, sent.isEmpty() ? QStringList{} : QStringList{sent});
        // A refused or unsent change keeps the view open with its contents.
        QCOMPARE(w->isVisible(), sent.isEmpty());
        if (sent.isEmpty())
            QCOMPARE(passwordView(*w), (QStringList{oldPassword, newPassword, confirm}));
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
        QTest::newRow("window close button sends nothing") << "close" << QStringList{};
    }

    void menu()
    {
        QFETCH(QString, action);
        fillPasswordView(*w, QStringLiteral("left"), QStringLiteral("over"),
                         QStringLiteral("text"));
        QVERIFY(openFromMenu([&] {
            QCOMPARE(w->windowModality(), Qt::ApplicationModal);
            QCOMPARE(w->windowTitle(), QStringLiteral("Wispline(Change Password)"));
            QVERIFY(w->FramePassword->isVisibleTo(w.get()) && !w->FrameLogin->isVisibleTo(w.get()));
            QCOMPARE(passwordView(*w), (QStringList{"", "", ""}));
            QTRY_COMPARE(w->focusWidget(), w->txtOldPassword);
            fillPasswordView(*w, kOldPassword, QStringLiteral("N3w"), QStringLiteral("N3w"));
            if (action == QLatin1String("close"))
                w->close();
            else
                QTest::mouseClick(action == QLatin1String("change") ? w->CmdChange : w->CmdCancel,
                                  Qt::LeftButton);
        }));
        QTEST(link.sent, "sent");
        QVERIFY(f->seams.boxes.shown.isEmpty() && !f->seams.exit.ended());
        QCOMPARE(w->windowModality(), Qt::NonModal);
        QCOMPARE(w->windowTitle(), QStringLiteral("Wispline(Change Password)"));
        QVERIFY(w->FramePassword->isVisibleTo(w.get()));
    }
};

QTEST_MAIN(TestChangePassword)
#include "tst_changepassword.moc"
