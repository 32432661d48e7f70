#include "logon/FrmLogin.h"

#include "app/Accessibility.h"
#include "app/Deployment.h"
#include "app/KeyFilter.h"
#include "app/Seams.h"
#include "app/SessionState.h"
#include "app/Settings.h"
#include "app/Theme.h"
#include "link/Ansi.h"
#include "link/LinkWriter.h"
#include "link/WireProtocol.h"
#include "logon/MacAddress.h"
#include "logon/PictureBox.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QGuiApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QValidator>
#include <exception>
#include <initializer_list>
#include <limits>
#include <new>

namespace wispline
{

namespace
{

const QString kLogonTitle = QStringLiteral("Wispline Logon");
const QString kChangeTitle = QStringLiteral("Change Password");
const QString kInternet = QStringLiteral("Internet");
constexpr int kLogonPort = 30609;
constexpr int kAddressTypingLimit = 15;

// The numbers shown by the error boxes of the trapped handlers.
constexpr int kErrInvalidCall = 5;
constexpr int kErrOutOfMemory = 7;
// Sending on a link that is not connected.
constexpr int kErrConnectionState = 40006;
const QString kConnectionStateText =
    QStringLiteral("Wrong protocol or connection state for the requested transaction or request");

int errorNumber(const std::exception& e)
{
    return dynamic_cast<const std::bad_alloc*>(&e) ? kErrOutOfMemory : kErrInvalidCall;
}

QString errorText(const std::exception& e)
{
    return QString::fromLocal8Bit(e.what());
}

// Password boxes show every character as "*".
class StarPasswordStyle final : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == QStyle::SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Limits what the user types or pastes into a box without cutting text that the program puts
// there (a configured server name may be longer than a dotted address). Input that would grow
// the text past the limit loses the excess characters just before the insertion point, the
// part that was inserted.
class TypingLimitValidator final : public QValidator
{
public:
    TypingLimitValidator(QLineEdit* edit, int limit)
        : QValidator(edit), edit_(edit), limit_(limit), acceptedLength_(int(edit->text().size()))
    {
        connect(edit, &QLineEdit::textChanged, this,
                [this](const QString& text) { acceptedLength_ = int(text.size()); });
    }

    State validate(QString& input, int& pos) const override
    {
        // Editing records an undo step before the edit is validated; setText() starts a new
        // history. So a box without an undo step is being set by the program: keep it whole.
        if (!edit_->isUndoAvailable())
            return Acceptable;
        const int allowed = qMax(limit_, acceptedLength_);
        const int excess = int(input.size()) - allowed;
        if (excess > 0) {
            const int cut = qMin(excess, pos);
            input.remove(pos - cut, cut);
            pos -= cut;
            if (input.size() > allowed)
                input.truncate(allowed);
            pos = qMin(pos, int(input.size()));
        }
        return Acceptable;
    }

private:
    QLineEdit* edit_;
    int limit_;
    int acceptedLength_;
};

QLabel* makeLabel(const QString& text, QWidget* parent, const QRect& geometry)
{
    auto* label = new QLabel(text, parent);
    label->setGeometry(geometry);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

QLineEdit* makeEdit(QWidget* parent, const QRect& geometry)
{
    auto* edit = new QLineEdit(parent);
    edit->setGeometry(geometry);
    return edit;
}

QPushButton* makeButton(const QString& text, QWidget* parent, const QRect& geometry)
{
    auto* button = new QPushButton(text, parent);
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

// One load step: a failure skips the rest of the step and loading goes on.
template <typename Step> void loadStep(Step&& step)
{
    try {
        step();
    } catch (...) {
    }
}

} // namespace

qint64 leadingNumber(const QString& text)
{
    qint64 value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            break;
        if (value > (std::numeric_limits<qint64>::max() - 9) / 10)
            break; // no wrap-around on absurdly long input
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

FrmLogin::FrmLogin(QWidget* parent) : QWidget(parent, Qt::Window)
{
    setAccessibleRole(this, QAccessible::Dialog); // before the title tells anyone of the window
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(QStringLiteral("VESK Chat Login"));
    setWindowIcon(QIcon(QStringLiteral(":/wispline/wispline.png")));
    buildControls();
    describeControls();
    Form_Load();
}

FrmLogin::~FrmLogin()
{
    // A password change still waiting for this window must not wait forever.
    if (modalLoop_)
        modalLoop_->quit();
}

void FrmLogin::buildControls()
{
    constexpr int margin = 12;
    constexpr int frameWidth = 352;
    constexpr int frameHeight = 244;
    constexpr int rowHeight = 24;
    constexpr int rowStep = 32;
    constexpr int labelX = 10;
    constexpr int labelWidth = 90;
    constexpr int fieldX = 104;
    constexpr int fieldWidth = frameWidth - fieldX - 10;

    Picture1 = new PictureBox(this);
    Picture1->setPixmap(QPixmap(QStringLiteral(":/wispline/banner.png")));
    Picture1->setGeometry(margin, 10, 352, 60);

    const QRect frameRect(margin, 78, frameWidth, frameHeight);

    // Log-on view. Controls are created in tab order.
    FrameLogin = new FrameBox(this);
    FrameLogin->setGeometry(frameRect);
    auto row = [&](int index) { return 10 + index * rowStep; };

    cmbMode = new QComboBox(FrameLogin);
    cmbMode->setEditable(true);
    cmbMode->setInsertPolicy(QComboBox::NoInsert);
    cmbMode->addItems(
        {kInternet, QStringLiteral("Lease Line"), QStringLiteral("LAN"), QStringLiteral("VSAT")});
    cmbMode->setGeometry(fieldX, row(0), fieldWidth, rowHeight);

    txtIPAddress = makeEdit(FrameLogin, QRect(fieldX, row(1), fieldWidth, rowHeight));
    txtIPAddress->setText(deploymentServer(DeploymentServer::Default));
    txtIPAddress->setValidator(new TypingLimitValidator(txtIPAddress, kAddressTypingLimit));

    txtPortNo = makeEdit(FrameLogin, QRect(fieldX, row(2), 80, rowHeight));
    txtPortNo->setMaxLength(5);
    txtPortNo->setText(QStringLiteral("30609"));

    txtUserName = makeEdit(FrameLogin, QRect(fieldX, row(3), fieldWidth, rowHeight));
    txtUserName->setMaxLength(50);

    txtPassword = makeEdit(FrameLogin, QRect(fieldX, row(4), fieldWidth, rowHeight));
    txtPassword->setMaxLength(15);
    txtPassword->setEchoMode(QLineEdit::Password);

    LBLMACIP1 = makeLabel(QStringLiteral("MAC IP: "), FrameLogin,
                          QRect(labelX, row(5), labelWidth, rowHeight));
    LBLMACIP1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Two lines: the adapter-count text ends with a line break.
    LBLMACIP = makeLabel(QString(), FrameLogin, QRect(fieldX, row(5), fieldWidth, 36));
    LBLMACIP->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    LBLMACIP->setTextInteractionFlags(Qt::TextSelectableByMouse);

    constexpr int buttonWidth = 104;
    constexpr int buttonY = frameHeight - 38;
    cmdOK = makeButton(QStringLiteral("&Logon"), FrameLogin, QRect(10, buttonY, buttonWidth, 28));
    cmdSave = makeButton(QStringLiteral("&Save"), FrameLogin,
                         QRect(10 + buttonWidth + 10, buttonY, buttonWidth, 28));
    CmdExit = makeButton(QStringLiteral("E&xit"), FrameLogin,
                         QRect(10 + 2 * (buttonWidth + 10), buttonY, buttonWidth, 28));

    const QRect labelRect(labelX, 0, labelWidth, rowHeight);
    lblLabels << makeLabel(QStringLiteral("User ID :"), FrameLogin, labelRect.translated(0, row(3)))
              << makeLabel(QStringLiteral("Password : "), FrameLogin,
                           labelRect.translated(0, row(4)))
              << makeLabel(QStringLiteral("Server : "), FrameLogin, labelRect.translated(0, row(1)))
              << makeLabel(QStringLiteral("Por&t : "), FrameLogin, labelRect.translated(0, row(2)))
              << makeLabel(QStringLiteral("Mode :"), FrameLogin, labelRect.translated(0, row(0)));
    lblLabels[0]->setBuddy(txtUserName);
    lblLabels[1]->setBuddy(txtPassword);
    lblLabels[2]->setBuddy(txtIPAddress);
    lblLabels[3]->setBuddy(txtPortNo);
    lblLabels[4]->setBuddy(cmbMode);

    // Password view, in the same place; hidden until a password change opens it.
    FramePassword = new FrameBox(this);
    FramePassword->setGeometry(frameRect);
    constexpr int pwLabelWidth = 150;
    constexpr int pwFieldX = labelX + pwLabelWidth + 4;
    constexpr int pwFieldWidth = frameWidth - pwFieldX - 10;
    auto pwRow = [&](int index) { return 30 + index * 40; };

    Label1 = makeLabel(QStringLiteral("Old Password : "), FramePassword,
                       QRect(labelX, pwRow(0), pwLabelWidth, rowHeight));
    txtOldPassword = makeEdit(FramePassword, QRect(pwFieldX, pwRow(0), pwFieldWidth, rowHeight));
    Label2 = makeLabel(QStringLiteral("New Password : "), FramePassword,
                       QRect(labelX, pwRow(1), pwLabelWidth, rowHeight));
    TxtNewPassword = makeEdit(FramePassword, QRect(pwFieldX, pwRow(1), pwFieldWidth, rowHeight));
    Label3 = makeLabel(QStringLiteral("Confirm New Password : "), FramePassword,
                       QRect(labelX, pwRow(2), pwLabelWidth, rowHeight));
    TxtConfirmNewPassword =
        makeEdit(FramePassword, QRect(pwFieldX, pwRow(2), pwFieldWidth, rowHeight));
    Label1->setBuddy(txtOldPassword);
    Label2->setBuddy(TxtNewPassword);
    Label3->setBuddy(TxtConfirmNewPassword);
    for (QLineEdit* box : {txtOldPassword, TxtNewPassword, TxtConfirmNewPassword}) {
        box->setMaxLength(15);
        box->setEchoMode(QLineEdit::Password);
    }
    CmdChange = makeButton(QStringLiteral("Change"), FramePassword,
                           QRect(frameWidth / 2 - buttonWidth - 6, buttonY, buttonWidth, 28));
    CmdCancel = makeButton(QStringLiteral("Cancel"), FramePassword,
                           QRect(frameWidth / 2 + 6, buttonY, buttonWidth, 28));
    FramePassword->hide();

    // The texts of these boxes travel on the wire: keep the separators out, typed or pasted.
    auto* starStyle = new StarPasswordStyle;
    for (QLineEdit* box :
         {txtUserName, txtPassword, txtOldPassword, TxtNewPassword, TxtConfirmNewPassword}) {
        installSeparatorFilter(box);
        if (box->echoMode() == QLineEdit::Password)
            box->setStyle(starStyle);
    }
    // Last child, so it is destroyed after the boxes that use it.
    starStyle->setParent(this);

    const QList<QPair<QObject*, const char*>> names = {
        {Picture1, "Picture1"},
        {FrameLogin, "FrameLogin"},
        {cmbMode, "cmbMode"},
        {txtIPAddress, "txtIPAddress"},
        {txtPortNo, "txtPortNo"},
        {txtUserName, "txtUserName"},
        {txtPassword, "txtPassword"},
        {cmdOK, "cmdOK"},
        {cmdSave, "cmdSave"},
        {CmdExit, "CmdExit"},
        {LBLMACIP1, "LBLMACIP1"},
        {LBLMACIP, "LBLMACIP"},
        {FramePassword, "FramePassword"},
        {Label1, "Label1"},
        {txtOldPassword, "txtOldPassword"},
        {Label2, "Label2"},
        {TxtNewPassword, "TxtNewPassword"},
        {Label3, "Label3"},
        {TxtConfirmNewPassword, "TxtConfirmNewPassword"},
        {CmdChange, "CmdChange"},
        {CmdCancel, "CmdCancel"}};
    for (const auto& [object, name] : names)
        object->setObjectName(QLatin1String(name));
    for (int i = 0; i < lblLabels.size(); ++i)
        lblLabels[i]->setObjectName(QStringLiteral("lblLabels_%1").arg(i));

    connect(cmdOK, &QPushButton::clicked, this, [this] { cmdOK_Click(); });
    connect(cmdSave, &QPushButton::clicked, this, [this] { cmdSave_Click(); });
    connect(CmdExit, &QPushButton::clicked, this, [this] { CmdExit_Click(); });
    connect(CmdChange, &QPushButton::clicked, this, [this] { CmdChange_Click(); });
    connect(CmdCancel, &QPushButton::clicked, this, [this] { CmdCancel_Click(); });
    // Enter in a box of either view does what the view's first button does.
    for (QLineEdit* box : {txtUserName, txtPassword})
        connect(box, &QLineEdit::returnPressed, this, [this] { cmdOK_Click(); });
    for (QLineEdit* box : {txtOldPassword, TxtNewPassword, TxtConfirmNewPassword})
        connect(box, &QLineEdit::returnPressed, this, [this] { CmdChange_Click(); });

    setFixedSize(frameRect.right() + 1 + margin, frameRect.bottom() + 1 + margin);
    fitToLogicalDpi();
}

void FrmLogin::fitToLogicalDpi()
{
    // The geometry above is in pixels at 96 dpi. A desktop that sets its text larger without
    // scaling the windows gets the window in proportion, so no caption is cut.
    const qreal scale = logicalDpiY() / 96.0;
    if (qFuzzyCompare(scale, 1.0))
        return;
    const auto scaled = [scale](int px) { return qRound(px * scale); };
    for (QWidget* container : std::initializer_list<QWidget*>{this, FrameLogin, FramePassword}) {
        for (QWidget* w : container->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const QRect g = w->geometry();
            w->setGeometry(scaled(g.x()), scaled(g.y()), scaled(g.width()), scaled(g.height()));
        }
    }
    setFixedSize(scaled(width()), scaled(height()));
}

void FrmLogin::describeControls()
{
    setAccessibleRole(Picture1, QAccessible::Graphic);
    Picture1->setAccessibleName(QStringLiteral("Wispline"));
    FrameLogin->setAccessibleName(QStringLiteral("Logon"));
    FramePassword->setAccessibleName(QStringLiteral("Change Password"));
    const QString noSeparators = QStringLiteral("The keys ~ and ` are not allowed.");
    setAccessibleText(cmbMode, QStringLiteral("Mode"),
                      QStringLiteral("How this computer reaches the server. The mode chooses the "
                                     "server's address."));
    cmbMode->lineEdit()->setAccessibleName(cmbMode->accessibleName());
    setAccessibleText(txtIPAddress, QStringLiteral("Server"),
                      QStringLiteral("Log-on uses the server address of the chosen mode."));
    txtPortNo->setAccessibleName(QStringLiteral("Port"));
    setAccessibleText(txtUserName, QStringLiteral("User ID"), noSeparators);
    setAccessibleText(txtPassword, QStringLiteral("Password"), noSeparators);
    cmdOK->setAccessibleDescription(QStringLiteral("Log on with this mode, user ID and password."));
    cmdSave->setAccessibleDescription(QStringLiteral(
        "Remember the mode, server, port and user ID. The password is never saved."));
    CmdExit->setAccessibleDescription(QStringLiteral("End Wispline."));
    // The adapter address is read with its caption.
    LBLMACIP1->setBuddy(LBLMACIP);
    setAccessibleText(txtOldPassword, QStringLiteral("Old Password"), noSeparators);
    setAccessibleText(TxtNewPassword, QStringLiteral("New Password"), noSeparators);
    setAccessibleText(TxtConfirmNewPassword, QStringLiteral("Confirm New Password"),
                      QStringLiteral("The new password once more."));
    CmdChange->setAccessibleDescription(QStringLiteral("Send the new password to the server."));
    CmdCancel->setAccessibleDescription(
        QStringLiteral("Close without changing the password. Esc does the same."));
}

void FrmLogin::setOnAccepted(std::function<void()> onAccepted)
{
    onAccepted_ = std::move(onAccepted);
}

void FrmLogin::setLinkWriter(LinkWriter* link)
{
    link_ = link;
}

QString FrmLogin::modeText() const
{
    return cmbMode->currentText();
}

QString FrmLogin::adapterCaption() const
{
    return LBLMACIP->text();
}

void FrmLogin::setModeText(const QString& text)
{
    const int index = cmbMode->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        cmbMode->setCurrentIndex(index);
    cmbMode->setEditText(text);
}

void FrmLogin::Form_Load()
{
    SessionState& s = session();
    loadStep([&] {
        LBLMACIP->clear();
        LBLMACIP->setText(GetMACadr());
    });
    if (LBLMACIP->text().isEmpty())
        LBLMACIP->setText(QStringLiteral("MAC Not Found"));
    loadStep([&] { txtUserName->setText(settings::get(settings::kUser, QString())); });
    loadStep([&] { setModeText(settings::get(settings::kMode, kInternet)); });
    loadStep([&] {
        s.RestoreSelectionOn = settings::toBool(settings::get(settings::kSelection, QString()));
        s.WindowSizeLarge = settings::toBool(settings::get(settings::kSize, QString()));
        s.PopupDisabled = settings::toBool(settings::get(settings::kPopup, QString()));
    });
    loadStep([&] { applyThemeToWindow(this); });
}

void FrmLogin::Form_Activate()
{
    try {
        if (FrameLogin->isVisibleTo(this)) {
            if (txtUserName->text().isEmpty())
                txtUserName->setFocus();
            else
                txtPassword->setFocus();
        } else if (FramePassword->isVisibleTo(this)) {
            txtOldPassword->setFocus();
        }
    } catch (const std::exception& e) {
        showErrorBox(errorNumber(e), errorText(e), QStringLiteral("Login"));
    }
}

void FrmLogin::cmdOK_Click()
{
    if (requestBusy_)
        return;
    const QScopedValueRollback<bool> busy(requestBusy_, true);
    try {
        const QString mode = cmbMode->currentText();
        if (mode.trimmed().isEmpty()) {
            showBox(QStringLiteral(" Please Select the Mode of Connectivity"), kLogonTitle,
                    BoxIcon::Critical);
            return;
        }
        if (txtPortNo->text().trimmed().isEmpty()) {
            showBox(QStringLiteral(" Port No of the server cannot be empty. "), kLogonTitle,
                    BoxIcon::Critical);
            txtPortNo->setFocus();
            return;
        }
        if (txtUserName->text().trimmed().isEmpty()) {
            showBox(QStringLiteral(" User Name cannot be empty. "), kLogonTitle, BoxIcon::Critical);
            txtUserName->setFocus();
            return;
        }
        if (txtPassword->text().isEmpty()) {
            showBox(QStringLiteral(" Password cannot be empty. "), kLogonTitle, BoxIcon::Critical);
            txtPassword->setFocus();
            return;
        }

        SessionState& s = session();
        s.UserName = ansi::upper(txtUserName->text().trimmed());
        s.Password = txtPassword->text();
        s.ServerPort = kLogonPort;
        // The mode decides the server; a typed address is replaced.
        txtIPAddress->setText(deploymentServer(mode == kInternet ? DeploymentServer::Internet
                                                                 : DeploymentServer::Default));
        s.ServerAddress = txtIPAddress->text().trimmed();
        s.LogonDone = true;

        QPointer<FrmLogin> self(this);
        if (onAccepted_)
            onAccepted_();
        if (self)
            hide();
    } catch (const std::exception& e) {
        while (QGuiApplication::overrideCursor())
            QGuiApplication::restoreOverrideCursor();
        showErrorBox(errorNumber(e), errorText(e), QStringLiteral("Wispline Login"));
    }
}

void FrmLogin::cmdSave_Click()
{
    settings::save(settings::kIP, txtIPAddress->text().trimmed());
    settings::save(settings::kPort, QString::number(leadingNumber(txtPortNo->text().trimmed())));
    settings::save(settings::kUser, txtUserName->text().trimmed());
    settings::save(settings::kMode, cmbMode->currentText());
    showBox(QStringLiteral("Settings Saved Successfully.\r\nPassword will not be Saved."),
            QStringLiteral("Save Settings"), BoxIcon::Information);
    txtPassword->setFocus();
}

void FrmLogin::CmdExit_Click()
{
    endProgram("CmdExit_Click", 0);
}

void FrmLogin::mnuChangePassword_Click()
{
    if (session().LogonDone) {
        FramePassword->setVisible(true);
        FrameLogin->setVisible(false);
        setWindowTitle(QStringLiteral("Wispline(Change Password)"));
        txtOldPassword->clear();
        TxtNewPassword->clear();
        TxtConfirmNewPassword->clear();
    } else {
        FramePassword->setVisible(false);
        FrameLogin->setVisible(true);
    }

    if (isVisible())
        hide(); // modality changes only take effect on a hidden window
    setWindowModality(Qt::ApplicationModal);
    show();
    raise();
    activateWindow();

    QPointer<FrmLogin> self(this);
    QEventLoop loop;
    modalLoop_ = &loop;
    if (isVisible())
        loop.exec(); // left by hideEvent
    if (!self)
        return;
    modalLoop_ = nullptr;
    setWindowModality(Qt::NonModal);
}

void FrmLogin::CmdChange_Click()
{
    if (requestBusy_)
        return;
    const QScopedValueRollback<bool> busy(requestBusy_, true);
    try {
        const SessionState& s = session();
        const QString oldPassword = txtOldPassword->text();
        const QString newPassword = TxtNewPassword->text();
        const QString confirmPassword = TxtConfirmNewPassword->text();

        QString refusal;
        if (oldPassword != s.Password)
            refusal = QStringLiteral("   Old Password not matching !!!  ");
        else if (newPassword.isEmpty())
            refusal = QStringLiteral(" New Password cannot be blank !!!     ");
        else if (newPassword != confirmPassword)
            refusal =
                QStringLiteral(" New Password and Confirm New Password are not matching !!!     ");
        else if (newPassword == oldPassword)
            refusal = QStringLiteral(" New Password and Old Password cannot be same !!!     ");
        else if (newPassword.compare(s.UserName, Qt::CaseInsensitive) == 0)
            refusal = QStringLiteral(" UserName and Password cannot be same !!!     ");
        if (!refusal.isEmpty()) {
            showBox(refusal, kChangeTitle, BoxIcon::Critical);
            return;
        }

        // A request that cannot go out is a failure, not a silent success: the view stays.
        if (!link_ || !link_->isConnected()) {
            showErrorBox(kErrConnectionState, kConnectionStateText, kChangeTitle);
            return;
        }
        QPointer<FrmLogin> self(this);
        link_->send(wire::buildChangePassword(s.UserName, s.UserLevel, confirmPassword));
        if (self)
            hide();
    } catch (const std::exception& e) {
        showErrorBox(errorNumber(e), errorText(e), kChangeTitle);
    }
}

void FrmLogin::CmdCancel_Click()
{
    hide();
}

bool FrmLogin::event(QEvent* e)
{
    const bool result = QWidget::event(e);
    if (e->type() == QEvent::WindowActivate)
        Form_Activate();
    return result;
}

void FrmLogin::keyPressEvent(QKeyEvent* e)
{
    // Esc closes the password window as Cancel does; the log-on view has no such key (Exit ends
    // the program).
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier &&
        FramePassword->isVisibleTo(this)) {
        CmdCancel_Click();
        return;
    }
    QWidget::keyPressEvent(e);
}

void FrmLogin::closeEvent(QCloseEvent* e)
{
    // The window is never closed for good: it lives, hidden, as long as the process.
    e->ignore();
    if (FramePassword->isVisibleTo(this)) {
        CmdCancel_Click();
        return;
    }
    if (!session().LogonDone) {
        CmdExit_Click();
        return;
    }
    hide();
}

void FrmLogin::hideEvent(QHideEvent* e)
{
    QWidget::hideEvent(e);
    // Minimising is not closing: only a real hide ends the modal show.
    if (modalLoop_ && !e->spontaneous())
        modalLoop_->quit();
}

} // namespace wispline
