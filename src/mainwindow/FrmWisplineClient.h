#pragma once
// The main window: the user lists, the message area, the compose box and the menus. It wires
// the subsystems together: the server link reports to it, and it drives the directory, the
// senders, the message log, the pop-up, the tray icon and the layouts.
#include "directory/RecipientControls.h"
#include "link/ServerLink.h"
#include "mainwindow/MainControls.h"

#include <QMainWindow>
#include <QTimer>
#include <memory>

// The control classes are declared by MainControls.h.
class QAction;
class QMenu;

namespace wispline
{

class FrmLogin;
class FrmAlert;
class AlertAnnouncer;
class UserDirectory;
class SelectionPanel;
class MessageSender;
class ReplyLocator;
class MessageLogView;
class DayMessages;
class TrayIcon;
class FlashController;

class FrmWisplineClient : public QMainWindow, private LinkHost, private InboundHandler
{
    Q_OBJECT
public:
    // `login` is the log-on window: it stays loaded, hidden, for the whole run.
    explicit FrmWisplineClient(FrmLogin* login, QWidget* parent = nullptr);
    ~FrmWisplineClient() override;

    // The start-up sequence; runs once per process, before the window is first shown.
    void Form_Load();
    void Form_Activate();
    // The shutdown question; true when the window may close (the program then ends).
    bool Form_QueryUnload();
    // An end asked for from outside (a signal, the end of the desktop session): as a confirmed
    // shutdown, without the question and without any box. A second one, or one that comes
    // while an end waits for a box, ends the program at once.
    void endSession(const char* cause);
    // The session manager asks for the program's data (a checkpoint, or a log-out that may
    // still be cancelled): the message log is saved, and the program goes on.
    void saveRequested();

    void ShowFrames();
    void ShowFramesLarge();

    // Menu handlers.
    void mnuSmall_Click();
    void mnuLarge_Click();
    void mnupopup_Click();
    void mnuUsersCount_Click();
    void mnuHelp_Click();
    void mnuExit_Click();
    void mnuChangePassword_Click();
    void mnuViewMessages_Click();
    void mnuDownloadMessages_Click();

    // Acts on one inbound message as if it had just arrived.
    void handleInbound(const wire::InboundMessage& message);

    ServerLink& link() { return *link_; }
    const MainControls& controls() const { return mc_; }
    const RecipientControls& recipients() const { return rc_; }
    FrmAlert& frmAlert() { return *alert_; }
    FlashController& flash() { return *flash_; }
    AlertAnnouncer& announcer() { return *announcer_; }
    TrayIcon& tray() { return *tray_; }
    SelectionPanel& selection() { return *selection_; }
    MessageSender& sender() { return *sender_; }
    QString AlertText;

    // Controls.
    QLabel* lblTitle;
    FrameBox* fraLevel1And2;
    QLabel* Label1;
    QListWidget* lstLevel1;
    QLabel* Label2;
    QListWidget* lstLevel2;
    QCheckBox* chkAllSelectedLevel2;
    QCheckBox* chkAllLevel2;
    FrameBox* fraLevel3;
    QLabel* Label3;
    QListWidget* lstLevel3;
    QCheckBox* chkAllLevel3;
    FrameBox* fraMessages;
    QTextEdit* RTBox;
    QLabel* Label4;
    QLabel* Label5;
    QLabel* Label6;
    FrameBox* fraAllMessages;
    QTextEdit* RTBAllMsgs;
    QLineEdit* txtSendData;
    QPushButton* cmdSend;

    // Menus.
    QMenu* mnuMasters;
    QAction* mnuChangePassword;
    QMenu* mnuSettings;
    QAction* mnupopup;
    QAction* mnuRestoreSelection;
    QMenu* mnuWindowSize;
    QAction* mnuSmall;
    QAction* mnuLarge;
    QMenu* mnuDayMessages;
    QAction* mnuViewMessages;
    QAction* mnuDownloadMessages;
    QAction* mnuUsersCount;
    QAction* mnuHelp;
    QAction* mnuExit;
    QAction* mnuTest;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void describeControls();
    void buildMenus();
    void colourMenus();
    void switchSize(bool large);
    void shutDown(const char* where, bool fromOutside);

    // LinkHost
    QString connectionMode() const override;
    QString adapterCaption() const override;
    void setCaption(const QString& title) override;
    void setComposeEnabled(bool enabled) override;
    bool levelFramesHidden() const override;
    void showLayoutForLevel() override;
    void linkLost() override;
    void saveMessageLog(bool disconnected) override;
    void removeTrayIcon() override;
    void stopFlashing() override;
    InboundHandler& inbound() override { return *this; }

    // InboundHandler
    void onLogonAccepted(const QString& level) override;
    void onHandshake() override;
    void onLogonRefused(const QString& reason) override;
    void onUsersConnected(const QString& messageText) override;
    void onOfflineMessage(const QString& text) override;
    void onUsersGone(const QString& messageText) override;
    void onPasswordReply(const QString& text, bool success, const QString& newPassword) override;
    void onMessage(const QString& displayText) override;
    void onServerShutdown(const QString& text) override;
    void onLoggedOnElsewhere(const QString& reason) override;
    void onVersionRefused(const QString& reason) override;
    void onDownloadStart() override;
    void onDownloadMessage(const QString& text) override;
    void onDownloadEnd() override;
    void onDispatchError(int number, const QString& description) override;

    FrmLogin* login_;
    MainControls mc_;
    RecipientControls rc_;
    std::unique_ptr<ServerLink> link_;
    std::unique_ptr<UserDirectory> directory_;
    std::unique_ptr<SelectionPanel> selection_;
    std::unique_ptr<MessageSender> sender_;
    std::unique_ptr<ReplyLocator> reply_;
    std::unique_ptr<MessageLogView> log_;
    std::unique_ptr<DayMessages> dayMessages_;
    std::unique_ptr<FrmAlert> alert_;
    std::unique_ptr<TrayIcon> tray_;
    std::unique_ptr<FlashController> flash_;
    // A child of the window.
    AlertAnnouncer* announcer_ = nullptr;
    bool loaded_ = false; // Form_Load has run
    bool shown_ = false;
    bool endingFromOutside_ = false;
    // The log is saved a few seconds after the message area grows (once per burst): an end the
    // program never sees loses at most those seconds.
    QTimer saveSoon_;
};

// The text the pop-up shows for a message's display text: from two characters after the first
// "<" (from the second character when there is none) up to the first "[" after that (to the
// end when there is none).
QString alertTextFor(const QString& displayText);

} // namespace wispline
