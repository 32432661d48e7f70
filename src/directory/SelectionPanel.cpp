#include "directory/SelectionPanel.h"

#include "app/SessionState.h"
#include "app/Settings.h"
#include "directory/LevelList.h"

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QListWidget>

namespace wispline
{

SelectionPanel::SelectionPanel(const RecipientControls& controls, QObject* parent)
    : QObject(parent), c_(controls)
{
    for (QListWidget* list : {c_.lstLevel1, c_.lstLevel2, c_.lstLevel3})
        list->installEventFilter(this);
    // userChanged comes from the user's mouse and keys only, so selection changes made by the
    // rules themselves never re-enter the list rules.
    const auto onUserChange = [this](QListWidget* list, void (SelectionPanel::*rule)()) {
        if (auto* level = qobject_cast<LevelList*>(list))
            connect(level, &LevelList::userChanged, this, rule);
    };
    onUserChange(c_.lstLevel1, &SelectionPanel::lstLevel1_Click);
    onUserChange(c_.lstLevel2, &SelectionPanel::lstLevel2_Click);
    onUserChange(c_.lstLevel3, &SelectionPanel::lstLevel3_Click);
    // toggled fires for code changes too: unchecking a box from any rule must clear the lists.
    connect(c_.chkAllLevel2, &QCheckBox::toggled, this, [this] { chkAllLevel2_Click(); });
    connect(c_.chkAllLevel3, &QCheckBox::toggled, this, [this] { chkAllLevel3_Click(); });
    connect(c_.chkAllSelectedLevel2, &QCheckBox::toggled, this,
            [this] { chkAllSelectedLevel2_Click(); });
    if (c_.mnuRestoreSelection) {
        c_.mnuRestoreSelection->setCheckable(true);
        connect(c_.mnuRestoreSelection, &QAction::triggered, this,
                [this] { mnuRestoreSelection_Click(); });
    }
}

bool SelectionPanel::eventFilter(QObject* watched, QEvent* event)
{
    // A view that gains focus (tab, window activation) with no current entry makes its first
    // entry current, and a current entry decides which list a send reads. Setting "no current
    // entry" through the view first stops that; it leaves the selected entries alone.
    if (event->type() == QEvent::FocusIn) {
        auto* list = qobject_cast<QListWidget*>(watched);
        if (list && !list->currentIndex().isValid())
            list->setCurrentIndex(QModelIndex());
    }
    return QObject::eventFilter(watched, event);
}

void SelectionPanel::ClearLevelSelections(std::int16_t first, std::int16_t second,
                                          std::int16_t third)
{
    if (first == 1)
        c_.lstLevel1->clearSelection();
    if (second == 2)
        c_.lstLevel2->clearSelection();
    if (third == 3)
        c_.lstLevel3->clearSelection();
}

void SelectionPanel::clearCurrent(QListWidget* list)
{
    list->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
}

bool SelectionPanel::clickApplies(const QListWidget* list) const
{
    // The list's text is its current entry's text; an empty one means the click hit no name.
    const QListWidgetItem* current = list->currentItem();
    return !SelectionBusy && current && !current->text().isEmpty();
}

void SelectionPanel::focusComposeBox()
{
    if (c_.txtSendData && c_.txtSendData->isEnabled())
        c_.txtSendData->setFocus();
}

void SelectionPanel::uncheck(QCheckBox* box)
{
    if (box->isChecked())
        box->setChecked(false);
}

void SelectionPanel::lstLevel1_Click()
{
    if (!clickApplies(c_.lstLevel1))
        return;
    SelectionBusy = true;
    ClearLevelSelections(0, 2, 3);
    if (session().UserLevel.toInt() == 3) {
        // A Level 3 user writes to one Level 1 user at a time.
        c_.lstLevel1->clearSelection();
        if (QListWidgetItem* current = c_.lstLevel1->currentItem())
            current->setSelected(true);
    }
    SelectionBusy = false;
    uncheck(c_.chkAllLevel2);
    uncheck(c_.chkAllLevel3);
    uncheck(c_.chkAllSelectedLevel2);
    focusComposeBox();
}

void SelectionPanel::lstLevel2_Click()
{
    if (!clickApplies(c_.lstLevel2))
        return;
    SelectionBusy = true;
    ClearLevelSelections(1, 0, 3);
    clearCurrent(c_.lstLevel1);
    clearCurrent(c_.lstLevel3);
    SelectionBusy = false;
    uncheck(c_.chkAllLevel2);
    uncheck(c_.chkAllLevel3);
    // "All Users under Selected Level2" works on this very selection, so it stays.
    focusComposeBox();
}

void SelectionPanel::lstLevel3_Click()
{
    if (!clickApplies(c_.lstLevel3))
        return;
    SelectionBusy = true;
    ClearLevelSelections(1, 2, 0);
    clearCurrent(c_.lstLevel1);
    clearCurrent(c_.lstLevel2);
    SelectionBusy = false;
    uncheck(c_.chkAllLevel2);
    uncheck(c_.chkAllLevel3);
    uncheck(c_.chkAllSelectedLevel2);
    focusComposeBox();
}

void SelectionPanel::chkAllLevel2_Click()
{
    checkAllOfLevel(c_.chkAllLevel2, c_.chkAllLevel3, c_.lstLevel2);
}

void SelectionPanel::chkAllLevel3_Click()
{
    checkAllOfLevel(c_.chkAllLevel3, c_.chkAllLevel2, c_.lstLevel3);
}

void SelectionPanel::checkAllOfLevel(QCheckBox* box, QCheckBox* otherGroup, QListWidget* list)
{
    if (!box->isChecked()) {
        ClearLevelSelections(1, 2, 3);
        return;
    }
    if (SelectionBusy)
        return;
    SelectionBusy = true;
    ClearLevelSelections(1, 2, 3);
    uncheck(otherGroup);
    uncheck(c_.chkAllSelectedLevel2);
    // Only a visual confirmation: the send goes out by the group code, not by these entries.
    list->selectAll();
    SelectionBusy = false;
}

void SelectionPanel::chkAllSelectedLevel2_Click()
{
    if (!c_.chkAllSelectedLevel2->isChecked()) {
        ClearLevelSelections(1, 2, 3);
        return;
    }
    if (SelectionBusy)
        return;
    SelectionBusy = true;
    ClearLevelSelections(1, 0, 3);
    uncheck(c_.chkAllLevel2);
    uncheck(c_.chkAllLevel3);
    SelectionBusy = false;
}

void SelectionPanel::mnuRestoreSelection_Click()
{
    const bool on = !session().RestoreSelectionOn;
    settings::save(settings::kSelection, settings::fromBool(on));
    session().RestoreSelectionOn = on;
    if (c_.mnuRestoreSelection)
        c_.mnuRestoreSelection->setChecked(on);
}

void SelectionPanel::selectAsClick(QListWidget* list, int row)
{
    if (row < 0 || row >= list->count())
        return;
    list->selectionModel()->setCurrentIndex(list->model()->index(row, 0),
                                            QItemSelectionModel::Select);
    if (list == c_.lstLevel1)
        lstLevel1_Click();
    else if (list == c_.lstLevel2)
        lstLevel2_Click();
    else if (list == c_.lstLevel3)
        lstLevel3_Click();
}

} // namespace wispline
