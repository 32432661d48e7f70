#include "directory/LevelList.h"

#include <QKeyEvent>
#include <QKeySequence>
#include <QMouseEvent>

namespace wispline
{

LevelEntry::LevelEntry(const QString& name) : QListWidgetItem(name, nullptr, UserType) {}

bool LevelEntry::operator<(const QListWidgetItem& other) const
{
    return QString::compare(text(), other.text(), Qt::CaseInsensitive) < 0;
}

LevelList::LevelList(QWidget* parent) : QListWidget(parent) {}

LevelList::Snapshot LevelList::snapshot() const
{
    Snapshot s;
    for (int row = 0; row < count(); ++row) {
        if (item(row)->isSelected())
            s.selectedRows.append(row);
    }
    s.currentRow = currentRow();
    return s;
}

template <typename Handler> bool LevelList::track(Handler&& handler)
{
    const Snapshot before = snapshot();
    handler();
    if (snapshot() == before)
        return false;
    changedSincePress_ = true;
    emit userChanged();
    return true;
}

namespace
{
// Only the primary button selects: a right or middle click must not change the recipients.
bool selects(const QMouseEvent* event)
{
    return event->button() == Qt::LeftButton ||
           (event->button() == Qt::NoButton && (event->buttons() & Qt::LeftButton));
}
} // namespace

void LevelList::mousePressEvent(QMouseEvent* event)
{
    if (!selects(event)) {
        event->accept(); // and a left drag under way keeps what it changed
        return;
    }
    changedSincePress_ = false;
    track([&] { QListWidget::mousePressEvent(event); });
}

void LevelList::mouseMoveEvent(QMouseEvent* event)
{
    if (event->buttons() != Qt::NoButton && !selects(event)) {
        event->accept();
        return;
    }
    track([&] { QListWidget::mouseMoveEvent(event); });
}

void LevelList::mouseReleaseEvent(QMouseEvent* event)
{
    if (!selects(event)) {
        event->accept();
        return;
    }
    const bool changed = track([&] { QListWidget::mouseReleaseEvent(event); });
    // A click on an entry runs the rule even when it changed nothing, as a click always did.
    if (!changed && !changedSincePress_ && itemAt(event->position().toPoint()))
        emit userChanged();
    changedSincePress_ = false;
}

void LevelList::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The second press of a double click starts a gesture of its own.
    changedSincePress_ = false;
    if (!selects(event)) {
        event->accept();
        return;
    }
    track([&] { QListWidget::mouseDoubleClickEvent(event); });
}

void LevelList::keyPressEvent(QKeyEvent* event)
{
    // The list box this follows had no select-all key; selecting a whole level goes through
    // "All Level2 Users" and "All Level3 Users", which the send reads as group codes.
    if (event->matches(QKeySequence::SelectAll)) {
        event->ignore();
        return;
    }
    track([&] { QListWidget::keyPressEvent(event); });
}

} // namespace wispline
