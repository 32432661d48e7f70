#include "messaging/ReplyLocator.h"

#include "app/RichText.h"
#include "app/Seams.h"
#include "app/SessionState.h"
#include "directory/SelectionPanel.h"

#include "app/TextRules.h"
#include <QEvent>
#include <QKeyEvent>

#include <QListWidget>
#include <QTextCursor>
#include <QTextEdit>

namespace wispline
{

namespace
{

const QString kTitle = QStringLiteral("Reply To User");

int findIgnoringCase(const QListWidget* list, const QString& upperName)
{
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text().toUpper() == upperName)
            return i;
    }
    return -1;
}

} // namespace

ReplyLocator::ReplyLocator(SelectionPanel& panel, QObject* parent) : QObject(parent), panel_(panel)
{
}

bool ReplyLocator::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_F2) {
        replyToSelection();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void ReplyLocator::replyToSelection()
{
    const RecipientControls& c = panel_.controls();
    const QString name = trimSpaces(c.RTBox->textCursor().selectedText());

    if (name == session().UserName) {
        showBox(QStringLiteral("Cannot send message to Self."), kTitle, BoxIcon::None);
        return;
    }

    // An empty selection names nobody, even if the server listed a nameless entry.
    if (!name.isEmpty()) {
        const QString upperName = name.toUpper();
        for (QListWidget* list : {c.lstLevel1, c.lstLevel2, c.lstLevel3}) {
            const int row = findIgnoringCase(list, upperName);
            if (row < 0)
                continue;
            panel_.ClearLevelSelections(1, 2, 3);
            panel_.selectAsClick(list, row);
            return;
        }
    }

    showBox(QStringLiteral("User is not exisitng or is not Connected.") + kLineBreak +
                QStringLiteral("Cannot send reply."),
            kTitle, BoxIcon::None);
}

} // namespace wispline
