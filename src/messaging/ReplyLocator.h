#pragma once
// F2 in the message area: the selected name becomes the one and only selected recipient.
// Install as an event filter on the message area; it reacts to F2 going down and lets every
// other key through.
#include "directory/RecipientControls.h"

#include <QObject>

namespace wispline
{

class SelectionPanel;

class ReplyLocator : public QObject
{
    Q_OBJECT
public:
    explicit ReplyLocator(SelectionPanel& panel, QObject* parent = nullptr);

    // Looks the message area's selected text up in the level lists and selects the match.
    void replyToSelection();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    SelectionPanel& panel_;
};

} // namespace wispline
