#include "messaging/MessageSender.h"

#include "app/KeyFilter.h"
#include "app/RichText.h"
#include "app/Seams.h"
#include "app/SessionState.h"
#include "directory/SelectionPanel.h"
#include "link/Ansi.h"
#include "link/LinkWriter.h"
#include "link/WireProtocol.h"

#include "app/TextRules.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStringList>
#include <QTextEdit>

namespace wispline
{

namespace
{

const QString kNoOne = QStringLiteral("NOONE");

// The first protocol separator in the text, as the key filter would judge it.
KeyVerdict firstSeparator(const QString& text)
{
    for (QChar c : text) {
        const KeyVerdict v = judgeKey(c);
        if (v == KeyVerdict::RefuseTilde || v == KeyVerdict::RefuseGrave)
            return v;
    }
    return KeyVerdict::Pass;
}

} // namespace

MessageSender::MessageSender(const RecipientControls& controls, SelectionPanel& panel,
                             LinkWriter* link, QObject* parent)
    : QObject(parent), c_(controls), panel_(panel), link_(link)
{
    c_.txtSendData->setMaxLength(kMaxMessageLength);
    installSeparatorFilter(c_.txtSendData);
    connect(c_.txtSendData, &QLineEdit::returnPressed, this, &MessageSender::cmdSend_Click);
    if (c_.cmdSend)
        connect(c_.cmdSend, &QPushButton::clicked, this, &MessageSender::cmdSend_Click);
}

void MessageSender::focusComposeBox()
{
    if (c_.txtSendData->isEnabled())
        c_.txtSendData->setFocus();
}

void MessageSender::appendSelected(const QListWidget* list, QChar digit, Destination* d) const
{
    QStringList addresses;
    QStringList names;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem* item = list->item(i);
        if (!item->isSelected())
            continue;
        addresses << item->text() + digit;
        names << item->text();
    }
    d->recipients = addresses.join(QLatin1Char(','));
    d->display = names.join(QLatin1Char(','));
}

bool MessageSender::decideDestination(Destination* d)
{
    if (c_.chkAllSelectedLevel2->isChecked() && c_.lstLevel2->currentRow() == -1) {
        showBox(QStringLiteral("Select the Level2 user under whom the data has to be sent."),
                QStringLiteral("Select Level2 User"), BoxIcon::Information);
        c_.lstLevel2->setFocus();
        return false;
    }
    if (c_.chkAllLevel2->isChecked()) {
        d->code = QStringLiteral("L2A");
        d->display = QStringLiteral("All Level2 Users");
    } else if (c_.chkAllLevel3->isChecked()) {
        d->code = QStringLiteral("L3A");
        d->display = QStringLiteral("All Level3 Users");
    } else if (c_.lstLevel1->currentRow() != -1) {
        // Only the list the current entry points at is read.
        appendSelected(c_.lstLevel1, QLatin1Char('1'), d);
    } else if (c_.lstLevel2->currentRow() != -1) {
        appendSelected(c_.lstLevel2, QLatin1Char('2'), d);
        if (c_.chkAllSelectedLevel2->isChecked())
            d->code = QStringLiteral("L2S");
    } else if (c_.lstLevel3->currentRow() != -1) {
        appendSelected(c_.lstLevel3, QLatin1Char('3'), d);
    }
    return true;
}

void MessageSender::cmdSend_Click()
{
    // Sending yields to the event loop once; a second Enter or click handled there would
    // send the same text again before the box is emptied.
    if (sending_)
        return;

    // The wire holds one byte per character: the echo and the log show what went out.
    const QString text = ansi::roundTrip(trimSpaces(c_.txtSendData->text()));
    if (text.isEmpty()) {
        focusComposeBox();
        return;
    }

    // The key filter keeps the separators out of typed and pasted text, but text set any other
    // way must not reach the wire either: a "~" would add fields and misroute the message.
    const KeyVerdict separator = firstSeparator(text);
    if (separator == KeyVerdict::RefuseTilde) {
        showBox(QStringLiteral("Tilde (~) key not allowed"), QStringLiteral("Invalid Key"),
                BoxIcon::Information);
        return;
    }
    if (separator == KeyVerdict::RefuseGrave) {
        showBox(QStringLiteral("Quote (`) key not allowed"), QStringLiteral("Invalid Key"),
                BoxIcon::Information);
        return;
    }

    Destination d;
    if (!decideDestination(&d))
        return;
    if (d.recipients.isEmpty())
        d.recipients = kNoOne;
    if (d.recipients == kNoOne && d.code == kNoOne) {
        showBox(QStringLiteral("Cannot Send Data. Destination not selected."),
                QStringLiteral("Send Data"), BoxIcon::Critical);
        return;
    }

    const SessionState& s = session();
    const QString outgoing = wire::buildSend(s.senderAddress(), text, d.recipients, d.code);
    const QString shown =
        s.UserName + QStringLiteral(" >> ") + text + QStringLiteral(" [To ") + d.display;

    const auto cannotBeSent = [&] {
        appendInColor(c_.RTBox,
                      QStringLiteral("Connection To Server Lost. Message (") + shown +
                          QStringLiteral("] ) Cannot Be Sent.") + kTwoLineBreaks,
                      QColor(255, 0, 0));
    };
    if (!link_ || !link_->isConnected()) {
        cannotBeSent();
        return;
    }

    sending_ = true;
    const bool sent = link_->send(outgoing);
    sending_ = false;
    if (!sent) { // the connection went in the meantime: the text stays for another try
        cannotBeSent();
        return;
    }

    if (!session().RestoreSelectionOn) {
        panel_.ClearLevelSelections(1, 2, 3);
        c_.chkAllLevel2->setChecked(false);
        c_.chkAllLevel3->setChecked(false);
        c_.chkAllSelectedLevel2->setChecked(false);
    }
    appendInColor(c_.RTBox, shown + QStringLiteral("]") + kTwoLineBreaks, QColor(0, 0, 0));
    c_.txtSendData->clear();
    focusComposeBox();
}

} // namespace wispline
