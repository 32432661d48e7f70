#include "messaging/DayMessages.h"

#include "app/RichText.h"
#include "app/Seams.h"
#include "app/SessionState.h"
#include "link/LinkWriter.h"
#include "link/WireProtocol.h"

#include <QTextDocument>
#include <QTextEdit>
#include <QWidget>

namespace wispline
{

namespace
{
const QColor kMessageColor(0, 0, 0);
const QColor kNoteColor(255, 0, 0);
} // namespace

DayMessages::DayMessages(QTextEdit* RTBAllMsgs, QWidget* fraAllMessages, LinkWriter* link)
    : RTBAllMsgs(RTBAllMsgs), fraAllMessages(fraAllMessages), link_(link)
{
}

void DayMessages::mnuDownloadMessages_Click()
{
    if (link_->isConnected()) {
        const SessionState& s = session();
        link_->send(wire::buildAllMessages(s.UserName, s.UserLevel, s.Password, s.VersionString));
        return;
    }
    showBox(QStringLiteral("Connection is Lost. Wait for sometime.") + kLineBreak +
                QStringLiteral("The request cannot be processed now."),
            QStringLiteral("All Messages"), BoxIcon::Information);
}

void DayMessages::mnuViewMessages_Click()
{
    if (viewHoldsText())
        showView();
    else
        showNoMessages();
}

bool DayMessages::escapePressed()
{
    // The view's own flag: the window being minimised does not make it "hidden".
    if (fraAllMessages->isHidden())
        return false;
    fraAllMessages->hide();
    if (focusBefore_ && focusBefore_->isVisible() && focusBefore_->isEnabled())
        focusBefore_->setFocus(Qt::OtherFocusReason);
    focusBefore_ = nullptr;
    return true;
}

bool DayMessages::isShown() const
{
    return !fraAllMessages->isHidden();
}

void DayMessages::showView()
{
    QWidget* focus = fraAllMessages->window()->focusWidget();
    if (!focus || !fraAllMessages->isAncestorOf(focus))
        focusBefore_ = focus;
    fraAllMessages->show();
    RTBAllMsgs->show();
    RTBAllMsgs->setFocus(Qt::OtherFocusReason);
}

void DayMessages::onStart()
{
    RTBAllMsgs->clear();
}

void DayMessages::onMessage(const QString& text)
{
    appendInColor(RTBAllMsgs, text + kTwoLineBreaks, kMessageColor);
}

void DayMessages::onEnd()
{
    if (!viewHoldsText()) {
        showNoMessages();
        return;
    }
    appendInColor(RTBAllMsgs,
                  QStringLiteral("Press Esc Key to go back to Main Window.") + kTwoLineBreaks,
                  kNoteColor);
    showView();
}

bool DayMessages::viewHoldsText() const
{
    return !RTBAllMsgs->document()->isEmpty();
}

void DayMessages::showNoMessages()
{
    showBox(QStringLiteral("No Messages To Display"), QStringLiteral("Day Messages"),
            BoxIcon::Information);
}

} // namespace wispline
