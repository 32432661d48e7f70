#pragma once
// The compose box and the send operation: reads the text and the recipient selection, sends
// one SND message, echoes it in the message area and resets the panel.
#include "directory/RecipientControls.h"

#include <QObject>
#include <QString>

namespace wispline
{

class LinkWriter;
class SelectionPanel;

class MessageSender : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxMessageLength = 1000;

    // Sets up the compose box (length limit, separator filter for typed and pasted text) and
    // runs the send on Enter in the box and on a click of cmdSend.
    MessageSender(const RecipientControls& controls, SelectionPanel& panel, LinkWriter* link,
                  QObject* parent = nullptr);

    void cmdSend_Click();

private:
    struct Destination {
        QString code = QStringLiteral("NOONE");
        QString recipients;
        QString display;
    };
    // Rules 3a to 3g. False when the user has to pick a Level 2 user first.
    bool decideDestination(Destination* d);
    void appendSelected(const QListWidget* list, QChar digit, Destination* d) const;
    void focusComposeBox();

    RecipientControls c_;
    SelectionPanel& panel_;
    LinkWriter* link_;
    bool sending_ = false;
};

} // namespace wispline
