#pragma once
// The log-on window. Its log-on view collects the connection mode, the user name and the
// password; its password view is reused later, modally, to change the password. After an
// accepted log-on the window stays alive, hidden, for the whole run: the server link reads
// its mode and its adapter address.
#include "app/Theme.h"
#include "logon/PictureBox.h"

#include <QList>
#include <QString>
#include <QWidget>
#include <functional>

class QComboBox;
class QEventLoop;
class QLabel;
class QLineEdit;
class QPushButton;

namespace wispline
{

class LinkWriter;

class FrmLogin : public QWidget
{
    Q_OBJECT
public:
    // Builds the controls and runs the load steps.
    explicit FrmLogin(QWidget* parent = nullptr);
    ~FrmLogin() override;

    // Runs after an accepted log-on, before the window hides: shows the main window.
    void setOnAccepted(std::function<void()> onAccepted);
    // Where the password-change request goes. The caller keeps ownership.
    void setLinkWriter(LinkWriter* link);

    // What the server link reads of this window.
    QString modeText() const;       // the mode box's text as shown
    QString adapterCaption() const; // the adapter address label's text

    // Handlers.
    void Form_Load();
    void Form_Activate();
    void cmdOK_Click();
    void cmdSave_Click();
    void CmdExit_Click();
    // Shows this window application-modal with the password view; returns once it is hidden.
    void mnuChangePassword_Click();
    void CmdChange_Click();
    void CmdCancel_Click();

    // Controls.
    PictureBox* Picture1 = nullptr;
    FrameBox* FrameLogin = nullptr;
    QComboBox* cmbMode = nullptr;
    QLineEdit* txtIPAddress = nullptr;
    QLineEdit* txtPortNo = nullptr;
    QLineEdit* txtUserName = nullptr;
    QLineEdit* txtPassword = nullptr;
    QPushButton* cmdOK = nullptr;
    QPushButton* cmdSave = nullptr;
    QPushButton* CmdExit = nullptr;
    QList<QLabel*> lblLabels; // User ID, Password, Server, Port, Mode
    QLabel* LBLMACIP1 = nullptr;
    QLabel* LBLMACIP = nullptr;

    FrameBox* FramePassword = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* txtOldPassword = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* TxtNewPassword = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* TxtConfirmNewPassword = nullptr;
    QPushButton* CmdChange = nullptr;
    QPushButton* CmdCancel = nullptr;

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void buildControls();
    void describeControls();
    void fitToLogicalDpi();
    void setModeText(const QString& text);

    std::function<void()> onAccepted_;
    LinkWriter* link_ = nullptr;
    QEventLoop* modalLoop_ = nullptr;
    // A log-on or a password change is under way (its connection wait or send runs the event
    // loop): further presses of its button or Enter are ignored until it is over.
    bool requestBusy_ = false;
};

// The numeric value of the leading decimal digits of `text` (0 when it starts otherwise).
qint64 leadingNumber(const QString& text);

} // namespace wispline
