#include "mainwindow/FrmWisplineClient.h"

#include "app/Accessibility.h"
#include "app/RichText.h"
#include "app/Seams.h"
#include "app/SessionState.h"
#include "app/Settings.h"
#include "app/Theme.h"
#include "directory/SelectionPanel.h"
#include "directory/UserDirectory.h"
#include "logon/FrmLogin.h"
#include "mainwindow/FrmHelp.h"
#include "mainwindow/Layout.h"
#include "messaging/DayMessages.h"
#include "messaging/MessageLog.h"
#include "messaging/MessageSender.h"
#include "messaging/ReplyLocator.h"
#include "notify/AlertAnnouncer.h"
#include "notify/FlashController.h"
#include "notify/FrmAlert.h"
#include "notify/TrayIcon.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QShowEvent>
#include <QStyleHints>
#include <QTextEdit>
#include <iterator>

namespace wispline
{

namespace
{
const QColor kBlue(0, 0, 255);
const QColor kMagenta(255, 0, 255);
const QColor kRed(255, 0, 0);

QLabel* label(const QString& text, QWidget* parent)
{
    auto* l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    return l;
}

QTextEdit* messageArea(QWidget* parent)
{
    auto* t = new QTextEdit(parent);
    t->setAcceptRichText(false);
    t->setUndoRedoEnabled(false); // the area only grows; an undo stack would too
    return t;
}
} // namespace

QString alertTextFor(const QString& displayText)
{
    QString text = displayText;
    if (text.size() > 1) {
        const qsizetype marker = text.indexOf(QLatin1Char('<'));
        text = text.mid(marker < 0 ? 1 : marker + 2);
    }
    if (text.size() > 1) {
        const qsizetype bracket = text.indexOf(QLatin1Char('['));
        if (bracket >= 0)
            text = text.left(bracket);
    }
    return text;
}

FrmWisplineClient::FrmWisplineClient(FrmLogin* login, QWidget* parent)
    : QMainWindow(parent), login_(login)
{
    setWindowTitle(QStringLiteral("VESK Parlonet"));
    setWindowIcon(QIcon(QStringLiteral(":/wispline/wispline.png")));
    buildControls();
    buildMenus();

    link_ = std::make_unique<ServerLink>(static_cast<LinkHost&>(*this));
    directory_ = std::make_unique<UserDirectory>(rc_);
    selection_ = std::make_unique<SelectionPanel>(rc_);
    sender_ = std::make_unique<MessageSender>(rc_, *selection_, link_.get());
    reply_ = std::make_unique<ReplyLocator>(*selection_);
    RTBox->installEventFilter(reply_.get());
    log_ = std::make_unique<MessageLogView>(RTBox);
    dayMessages_ = std::make_unique<DayMessages>(RTBAllMsgs, fraAllMessages, link_.get());
    alert_ = std::make_unique<FrmAlert>();
    alert_->setMainWindow(this);
    tray_ = std::make_unique<TrayIcon>();
    flash_ = std::make_unique<FlashController>(this);
    if (login_)
        login_->setLinkWriter(link_.get());
    qApp->installEventFilter(this);
    saveSoon_.setSingleShot(true);
    saveSoon_.setInterval(3000);
    connect(&saveSoon_, &QTimer::timeout, this, [this] {
        if (!link_->hasEnded())
            log_->saveQuietly();
    });
    connect(RTBox, &QTextEdit::textChanged, this, [this] {
        if (loaded_ && !saveSoon_.isActive())
            saveSoon_.start();
    });
}

FrmWisplineClient::~FrmWisplineClient()
{
    qApp->removeEventFilter(this);
}

void FrmWisplineClient::buildControls()
{
    auto* central = new QWidget(this);
    setCentralWidget(central);

    lblTitle = label(QStringLiteral("List of All Connected Users"), central);

    fraLevel1And2 = new FrameBox(central);
    Label1 = label(QStringLiteral("Level 1 Users"), fraLevel1And2);
    lstLevel1 = new LevelList(fraLevel1And2);
    Label2 = label(QStringLiteral("Level 2 Users"), fraLevel1And2);
    lstLevel2 = new LevelList(fraLevel1And2);
    chkAllSelectedLevel2 =
        new QCheckBox(QStringLiteral("All Users under Selected Level2"), fraLevel1And2);
    chkAllSelectedLevel2->setVisible(false);
    chkAllLevel2 = new QCheckBox(QStringLiteral("All Level2 Users"), fraLevel1And2);

    fraLevel3 = new FrameBox(central);
    Label3 = label(QStringLiteral("Level 3 Users"), fraLevel3);
    lstLevel3 = new LevelList(fraLevel3);
    chkAllLevel3 = new QCheckBox(QStringLiteral("All Level3 Users"), fraLevel3);

    fraMessages = new FrameBox(central);
    RTBox = messageArea(fraMessages);
    // The area is the day's record: names in it can be selected (F2 replies), not edited.
    RTBox->setReadOnly(true);
    RTBox->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Label4 = label(QStringLiteral("Todays Previous Messages"), fraMessages);
    Label5 = label(QStringLiteral("Offline Messages"), fraMessages);
    Label6 = label(QStringLiteral("Online Messages"), fraMessages);
    for (QLabel* never : {Label4, Label5, Label6})
        never->setVisible(false);

    fraAllMessages = new FrameBox(central);
    RTBAllMsgs = messageArea(fraAllMessages);
    RTBAllMsgs->setReadOnly(true);
    RTBAllMsgs->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    fraAllMessages->setVisible(false);

    txtSendData = new QLineEdit(central);
    cmdSend = new QPushButton(QStringLiteral("&Send"), central);

    for (QListWidget* list : {lstLevel1, lstLevel2, lstLevel3})
        configureLevelList(list);
    describeControls();
    announcer_ = new AlertAnnouncer(central);

    mc_.window = this;
    mc_.lblTitle = lblTitle;
    mc_.fraLevel1And2 = fraLevel1And2;
    mc_.Label1 = Label1;
    mc_.lstLevel1 = lstLevel1;
    mc_.Label2 = Label2;
    mc_.lstLevel2 = lstLevel2;
    mc_.chkAllSelectedLevel2 = chkAllSelectedLevel2;
    mc_.chkAllLevel2 = chkAllLevel2;
    mc_.fraLevel3 = fraLevel3;
    mc_.Label3 = Label3;
    mc_.lstLevel3 = lstLevel3;
    mc_.chkAllLevel3 = chkAllLevel3;
    mc_.fraMessages = fraMessages;
    mc_.RTBox = RTBox;
    mc_.Label4 = Label4;
    mc_.Label5 = Label5;
    mc_.Label6 = Label6;
    mc_.fraAllMessages = fraAllMessages;
    mc_.RTBAllMsgs = RTBAllMsgs;
    mc_.txtSendData = txtSendData;
    mc_.cmdSend = cmdSend;

    rc_.lstLevel1 = lstLevel1;
    rc_.lstLevel2 = lstLevel2;
    rc_.lstLevel3 = lstLevel3;
    rc_.chkAllLevel2 = chkAllLevel2;
    rc_.chkAllLevel3 = chkAllLevel3;
    rc_.chkAllSelectedLevel2 = chkAllSelectedLevel2;
    rc_.txtSendData = txtSendData;
    rc_.cmdSend = cmdSend;
    rc_.RTBox = RTBox;
}

void FrmWisplineClient::describeControls()
{
    Label1->setBuddy(lstLevel1);
    Label2->setBuddy(lstLevel2);
    Label3->setBuddy(lstLevel3);
    const QString pick =
        QStringLiteral("Connected users of level %1. Select the users to send to.");
    setAccessibleText(lstLevel1, QStringLiteral("Level 1 Users"), pick.arg(1));
    setAccessibleText(lstLevel2, QStringLiteral("Level 2 Users"), pick.arg(2));
    setAccessibleText(lstLevel3, QStringLiteral("Level 3 Users"), pick.arg(3));
    chkAllLevel2->setAccessibleDescription(QStringLiteral("Send to every connected Level 2 user."));
    chkAllLevel3->setAccessibleDescription(QStringLiteral("Send to every connected Level 3 user."));
    chkAllSelectedLevel2->setAccessibleDescription(
        QStringLiteral("Send to the users under the selected Level 2 users."));
    setAccessibleText(RTBox, QStringLiteral("Message area"),
                      QStringLiteral("Today's messages. Select a user's name and press F2 to "
                                     "reply to that user."));
    setAccessibleText(fraAllMessages, QStringLiteral("Day Messages"));
    setAccessibleText(RTBAllMsgs, QStringLiteral("Day Messages"),
                      QStringLiteral("All of today's messages from the server. Press Esc to go "
                                     "back to the main window."));
    setAccessibleText(txtSendData, QStringLiteral("Message to send"),
                      QStringLiteral("Press Enter to send it to the selected users."));
    cmdSend->setAccessibleDescription(QStringLiteral("Send the message to the selected users."));
    // Reading order: the lists with their group boxes, the message areas, the compose box.
    QWidget* const order[] = {lstLevel1, lstLevel2,  chkAllLevel2, lstLevel3, chkAllLevel3,
                              RTBox,     RTBAllMsgs, txtSendData,  cmdSend};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
}

void FrmWisplineClient::buildMenus()
{
    QMenuBar* bar = menuBar();
    mnuMasters = bar->addMenu(QStringLiteral("&Masters"));
    mnuChangePassword = mnuMasters->addAction(QStringLiteral("&Change Password"));
    mnuSettings = mnuMasters->addMenu(QStringLiteral("&Settings"));
    mnupopup = mnuSettings->addAction(QStringLiteral("Disable POP UP"));
    mnupopup->setCheckable(true);
    mnuRestoreSelection = mnuSettings->addAction(QStringLiteral("Restore Selection"));
    mnuRestoreSelection->setCheckable(true);
    mnuRestoreSelection->setChecked(true);
    mnuWindowSize = mnuMasters->addMenu(QStringLiteral("&Window Size"));
    mnuSmall = mnuWindowSize->addAction(QStringLiteral("&Small"));
    mnuSmall->setCheckable(true);
    mnuLarge = mnuWindowSize->addAction(QStringLiteral("&Large"));
    mnuLarge->setCheckable(true);
    mnuDayMessages = mnuMasters->addMenu(QStringLiteral("Day Messages"));
    mnuViewMessages = mnuDayMessages->addAction(QStringLiteral("View Messages"));
    mnuDownloadMessages = mnuDayMessages->addAction(QStringLiteral("Download Messages"));
    mnuUsersCount = mnuMasters->addAction(QStringLiteral("Users Count"));
    mnuHelp = bar->addAction(QStringLiteral("&Help"));
    mnuExit = bar->addAction(QStringLiteral("&Exit"));
    mnuTest = bar->addAction(QStringLiteral("Test"));
    mnuTest->setEnabled(false);
    rc_.mnuRestoreSelection = mnuRestoreSelection;

    // Check items keep their mark under the handlers' control, not Qt's own toggling.
    // Qt flips the mark before `triggered`; put it back so the handler sees the state the
    // user chose from.
    auto checkItem = [this](QAction* a, void (FrmWisplineClient::*handler)()) {
        connect(a, &QAction::triggered, this, [this, a, handler](bool checked) {
            a->setChecked(!checked);
            (this->*handler)();
        });
    };
    checkItem(mnupopup, &FrmWisplineClient::mnupopup_Click);
    checkItem(mnuSmall, &FrmWisplineClient::mnuSmall_Click);
    checkItem(mnuLarge, &FrmWisplineClient::mnuLarge_Click);
    connect(mnuChangePassword, &QAction::triggered, this,
            &FrmWisplineClient::mnuChangePassword_Click);
    connect(mnuViewMessages, &QAction::triggered, this, &FrmWisplineClient::mnuViewMessages_Click);
    connect(mnuDownloadMessages, &QAction::triggered, this,
            &FrmWisplineClient::mnuDownloadMessages_Click);
    connect(mnuUsersCount, &QAction::triggered, this, &FrmWisplineClient::mnuUsersCount_Click);
    connect(mnuHelp, &QAction::triggered, this, &FrmWisplineClient::mnuHelp_Click);
    connect(mnuExit, &QAction::triggered, this, &FrmWisplineClient::mnuExit_Click);
}

void FrmWisplineClient::colourMenus()
{
    const QColor fore = colorFromBgr(session().ThemeForeColor);
    const QColor back = colorFromBgr(session().ThemeBackColor);
    auto paint = [&](QWidget* w) {
        QPalette p = w->palette();
        p.setColor(QPalette::Window, fore);
        p.setColor(QPalette::Button, fore);
        p.setColor(QPalette::Base, fore);
        p.setColor(QPalette::WindowText, back);
        p.setColor(QPalette::ButtonText, back);
        p.setColor(QPalette::Text, back);
        w->setPalette(p);
        w->setAutoFillBackground(true);
    };
    paint(menuBar());
    for (QMenu* m : {mnuMasters, mnuSettings, mnuWindowSize, mnuDayMessages})
        paint(m);
}

void FrmWisplineClient::Form_Load()
{
    // A second log-on press while the first connection is awaited must not load the day's
    // log into the area a second time.
    if (loaded_)
        return;
    loaded_ = true;
    SessionState& s = session();
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    if (s.WindowSizeLarge) {
        mnuLarge->setChecked(true);
        mnuSmall->setChecked(false);
        ArrangeControlsLarge(mc_);
    } else {
        mnuSmall->setChecked(true);
        mnuLarge->setChecked(false);
        ArrangeControls(mc_);
    }
    link_->start();
    link_->ConnectToRemoteServer();
    if (link_->hasEnded()) {
        QGuiApplication::restoreOverrideCursor();
        return;
    }
    // A box here would hold up the first showing, and the log-on waits for it.
    log_->LoadMessageLog(MessageLogView::Report::AfterShowing);
    mnuRestoreSelection->setChecked(s.RestoreSelectionOn);
    mnupopup->setChecked(s.PopupDisabled);
    fraLevel1And2->setVisible(false);
    fraLevel3->setVisible(false);
    chkAllLevel2->setVisible(false);
    cmdSend->setEnabled(false);
    txtSendData->setEnabled(false);
    if (!flash_->prepare(QGuiApplication::styleHints()->cursorFlashTime() / 2)) {
        // A blink time the flash timer cannot take ends the start-up here.
        QGuiApplication::restoreOverrideCursor();
        showErrorBox(380, QStringLiteral("Invalid property value"), QStringLiteral("Form_Load"));
        return;
    }
    tray_->install(this, s.UserName);
    QGuiApplication::restoreOverrideCursor();
    applyThemeToWindow(this);
    colourMenus();
}

void FrmWisplineClient::Form_Activate()
{
    link_->LoginFlag = 1;
    // A connection whose log-on is not answered yet keeps the title it has.
    if (link_->isConnected()) {
        if (!session().UserLevel.isEmpty())
            setWindowTitle(link_->loggedOnTitle());
    } else if (!link_->socketConnected()) {
        setWindowTitle(link_->lostTitle());
    }
}

void FrmWisplineClient::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    if (event->spontaneous())
        return;
    // A window manager that prevents focus stealing may never activate the window, and the
    // log-on waits for the first activation: the first showing counts as one. Titles still
    // follow real activation.
    if (!shown_) {
        shown_ = true;
        link_->LoginFlag = 1;
        QTimer::singleShot(0, this, [this] { log_->reportHeldFailure(); });
    }
    activateWindow();
    raise();
}

void FrmWisplineClient::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        Form_Activate();
    QMainWindow::changeEvent(event);
}

bool FrmWisplineClient::eventFilter(QObject* watched, QEvent* event)
{
    // The end of the desktop session (the session manager's "die") reaches the program as a
    // quit, which would close the window and so ask the shutdown question nobody answers.
    if (watched == qApp && event->type() == QEvent::Quit) {
        endSession("session end");
        return true;
    }
    // The window sees key presses before its controls: Esc hides the day-message view, and the
    // pop-up, which never has the keyboard, goes with it.
    if (event->type() == QEvent::KeyPress) {
        auto* w = qobject_cast<QWidget*>(watched);
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (w && w->window() == this && key == Qt::Key_Escape) {
            const bool viewHidden = dayMessages_->escapePressed();
            if (alert_->dismiss() || viewHidden)
                return true;
        }
        // The view covers every other control: the keyboard stays in it until Esc.
        if (w && w->window() == this && (key == Qt::Key_Tab || key == Qt::Key_Backtab) &&
            dayMessages_->isShown()) {
            RTBAllMsgs->setFocus(Qt::TabFocusReason);
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool FrmWisplineClient::Form_QueryUnload()
{
    // A reconnect started inside the question would stack its own box and wait on top of it.
    link_->holdReconnects(true);
    const auto release = qScopeGuard([this] { link_->holdReconnects(false); });
    const BoxAnswer answer = showBox(QStringLiteral(" Do you want to Shutdown Wispline ? "),
                                     QStringLiteral("VESKWispline"), BoxIcon::Question,
                                     BoxButtons::YesNo, BoxAnswer::No);
    if (answer != BoxAnswer::Yes)
        return false;
    shutDown("Form_QueryUnload", false);
    return true;
}

void FrmWisplineClient::endSession(const char* cause)
{
    if (std::exchange(endingFromOutside_, true) || link_->hasEnded()) {
        endProgram(cause, 0);
        return;
    }
    shutDown(cause, true);
}

void FrmWisplineClient::saveRequested()
{
    if (!link_->hasEnded() && !log_->saveQuietly())
        qCWarning(lcLink).noquote() << "the message log could not be saved:" << log_->lastError();
}

void FrmWisplineClient::shutDown(const char* where, bool fromOutside)
{
    link_->ShuttingDown = true;
    // Everything received reaches the message area, and so the log, before the link goes.
    link_->handleReceived();
    link_->SendLogout();
    link_->closeIfConnected();
    if (!fromOutside) {
        saveMessageLog(true);
    } else if (!log_->saveQuietly(true)) {
        // Nobody may be there to answer a box: the day's lines are in the file saved a few
        // seconds after they arrived.
        qCWarning(lcLink).noquote() << "the message log could not be saved:" << log_->lastError();
    }
    link_->terminate(where, ServerLink::End::UserChoice);
}

void FrmWisplineClient::closeEvent(QCloseEvent* event)
{
    if (link_->hasEnded() || Form_QueryUnload())
        event->accept();
    else
        event->ignore();
}

// ---- layouts and menus ----

void FrmWisplineClient::ShowFrames()
{
    wispline::ShowFrames(mc_);
}
void FrmWisplineClient::ShowFramesLarge()
{
    wispline::ShowFramesLarge(mc_);
}

void FrmWisplineClient::mnuSmall_Click()
{
    switchSize(false);
}

void FrmWisplineClient::mnuLarge_Click()
{
    switchSize(true);
}

void FrmWisplineClient::switchSize(bool large)
{
    QAction* chosen = large ? mnuLarge : mnuSmall;
    if (chosen->isChecked())
        return;
    chosen->setChecked(true);
    (large ? mnuSmall : mnuLarge)->setChecked(false);
    session().WindowSizeLarge = large;
    // Stored before the window is laid out again.
    settings::save(settings::kSize, settings::fromBool(large));
    showLayoutForLevel();
}

void FrmWisplineClient::mnupopup_Click()
{
    SessionState& s = session();
    settings::save(settings::kPopup, settings::fromBool(!s.PopupDisabled));
    s.PopupDisabled = !s.PopupDisabled;
    mnupopup->setChecked(s.PopupDisabled);
}

void FrmWisplineClient::mnuUsersCount_Click()
{
    const QString crlf = kLineBreak;
    QString text = QStringLiteral("Level 1 : ") + QString::number(lstLevel1->count()) + crlf +
                   QStringLiteral("Level 2 : ") + QString::number(lstLevel2->count()) + crlf;
    // The Level 3 list itself is never hidden (only its frame is), so its line always shows.
    if (!lstLevel3->isHidden())
        text += QStringLiteral("Level 3 : ") + QString::number(lstLevel3->count()) + crlf;
    showBox(text, QStringLiteral("Logged In Users Count"), BoxIcon::Information);
}

void FrmWisplineClient::mnuHelp_Click()
{
    FrmHelp help(this);
    help.exec();
}

void FrmWisplineClient::mnuExit_Click()
{
    close();
}

void FrmWisplineClient::mnuChangePassword_Click()
{
    if (!login_)
        return;
    // Over the main window, where the user is looking.
    login_->move(frameGeometry().center() - login_->rect().center());
    login_->mnuChangePassword_Click();
}

void FrmWisplineClient::mnuViewMessages_Click()
{
    dayMessages_->mnuViewMessages_Click();
}

void FrmWisplineClient::mnuDownloadMessages_Click()
{
    dayMessages_->mnuDownloadMessages_Click();
}

// ---- what the server link needs of the window ----

QString FrmWisplineClient::connectionMode() const
{
    return login_ ? login_->modeText() : QString();
}

QString FrmWisplineClient::adapterCaption() const
{
    return login_ ? login_->adapterCaption() : QString();
}

void FrmWisplineClient::setCaption(const QString& title)
{
    setWindowTitle(title);
}

void FrmWisplineClient::setComposeEnabled(bool enabled)
{
    cmdSend->setEnabled(enabled);
    txtSendData->setEnabled(enabled);
}

bool FrmWisplineClient::levelFramesHidden() const
{
    return fraLevel1And2->isHidden() && fraLevel3->isHidden();
}

void FrmWisplineClient::showLayoutForLevel()
{
    if (session().WindowSizeLarge)
        ShowFramesLarge();
    else
        ShowFrames();
}

void FrmWisplineClient::linkLost()
{
    // Who is connected is known again from the server's lists after the next log-on.
    directory_->clear();
    setComposeEnabled(false);
}

void FrmWisplineClient::saveMessageLog(bool disconnected)
{
    log_->SaveMessageLog(disconnected);
}

void FrmWisplineClient::removeTrayIcon()
{
    tray_->remove();
}

void FrmWisplineClient::stopFlashing()
{
    flash_->stop();
}

// ---- inbound messages ----

void FrmWisplineClient::handleInbound(const wire::InboundMessage& message)
{
    dispatchInbound(message, *this);
}

void FrmWisplineClient::onLogonAccepted(const QString& level)
{
    SessionState& s = session();
    qCInfo(lcLink).noquote() << "log-on answered, level" << level;
    flash_->start();
    const bool firstLogOn = !link_->hasLoggedOn();
    const bool sameLevel = s.UserLevel == level;
    s.UserLevel = level;
    if (s.UserLevel.isEmpty()) {
        link_->closeIfConnected();
        link_->terminate("tcpClient_DataArrival: empty level");
        return;
    }
    link_->logOnAnswered();
    appendInColor(RTBox,
                  QStringLiteral("Connected To Server with username ") + s.UserName +
                      QStringLiteral(" Properly at ") +
                      timeOfDayText(services::clock().now().time()) + kTwoLineBreaks,
                  kBlue);
    setWindowTitle(link_->loggedOnTitle());
    // A log-on after a lost link leaves the window where and as the user keeps it (minimised,
    // say); the layout is laid again only when it is not shown or the level changed.
    if (firstLogOn || !sameLevel || levelFramesHidden())
        showLayoutForLevel();
    setComposeEnabled(link_->isConnected() && !link_->ShuttingDown);
}

void FrmWisplineClient::onHandshake()
{
    insertAtCursor(RTBox, QStringLiteral("Hand Shake") + generalDateText(services::clock().now()));
}

void FrmWisplineClient::onLogonRefused(const QString& reason)
{
    qCInfo(lcLink) << "log-on refused";
    link_->LoginFlag = 0;
    link_->closeIfConnected();
    // The timers would end the program with another cause while the box is read.
    link_->EnableTimer.stop();
    link_->ConnectTimer.stop();
    showBox(reason, QStringLiteral("Server Info"), BoxIcon::Critical);
    if (link_->hasEnded())
        return;
    flash_->start();
    link_->terminate("tcpClient_DataArrival: Invalid"); // removes the tray icon first
}

void FrmWisplineClient::onUsersConnected(const QString& messageText)
{
    directory_->AddUsers(messageText);
}

void FrmWisplineClient::onOfflineMessage(const QString& text)
{
    flash_->start();
    appendInColor(RTBox, text + kTwoLineBreaks, kMagenta);
    announcer_->announce(text);
}

void FrmWisplineClient::onUsersGone(const QString& messageText)
{
    directory_->RemoveUsers(messageText);
}

void FrmWisplineClient::onPasswordReply(const QString& text, bool success,
                                        const QString& newPassword)
{
    flash_->start();
    if (success)
        session().Password = newPassword;
    showBox(text, QStringLiteral("Server Info"), BoxIcon::Information);
}

void FrmWisplineClient::onMessage(const QString& displayText)
{
    flash_->start();
    appendInColor(RTBox, displayText + kTwoLineBreaks, kBlue);
    // The whole line, sender and time included: the pop-up shows only the body.
    announcer_->announce(displayText);
    if (session().PopupDisabled)
        return;
    AlertText = alertTextFor(displayText);
    if (AlertText.size() > 1) {
        alert_->DisplayAlert(AlertText, 3000);
        update(); // repaint, without taking the focus from where the user types
    }
}

void FrmWisplineClient::onServerShutdown(const QString& text)
{
    flash_->start();
    appendInColor(RTBox, text + kTwoLineBreaks, kRed);
    announcer_->announce(text);
    directory_->clear();
    setWindowTitle(link_->shutdownTitle());
    setComposeEnabled(false);
}

void FrmWisplineClient::onLoggedOnElsewhere(const QString& reason)
{
    link_->closeIfConnected();
    link_->EnableTimer.stop();
    link_->ConnectTimer.stop();
    showBox(reason, QStringLiteral("Server Info"), BoxIcon::Critical);
    link_->terminate("tcpClient_DataArrival: OtLog");
}

void FrmWisplineClient::onVersionRefused(const QString& reason)
{
    link_->EnableTimer.stop();
    link_->ConnectTimer.stop();
    showBox(reason, QStringLiteral("Server Info"), BoxIcon::Critical);
    link_->closeIfConnected();
    link_->terminate("tcpClient_DataArrival: Version");
}

void FrmWisplineClient::onDownloadStart()
{
    dayMessages_->onStart();
}

void FrmWisplineClient::onDownloadMessage(const QString& text)
{
    dayMessages_->onMessage(text);
}

void FrmWisplineClient::onDownloadEnd()
{
    dayMessages_->onEnd();
}

void FrmWisplineClient::onDispatchError(int number, const QString& description)
{
    showErrorBox(number, description, QStringLiteral("tcpClient_DataArrival"));
}

} // namespace wispline
