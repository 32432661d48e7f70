#pragma once
// The recipient selection panel: the click rules of the three level lists, the group check
// boxes and the Restore Selection preference. The rules keep the panel in a state the send
// operation can read in its fixed order of priority.
#include "directory/RecipientControls.h"

#include <QObject>
#include <cstdint>

namespace wispline
{

class SelectionPanel : public QObject
{
    Q_OBJECT
public:
    explicit SelectionPanel(const RecipientControls& controls, QObject* parent = nullptr);

    const RecipientControls& controls() const { return c_; }

    // Deselects every entry of lstLevel1 when first is 1, of lstLevel2 when second is 2, of
    // lstLevel3 when third is 3. Current entries stay.
    void ClearLevelSelections(std::int16_t first, std::int16_t second, std::int16_t third);

    // List rules; they run for every selection change a user makes in a LevelList and for
    // selectAsClick, not for other code changes.
    void lstLevel1_Click();
    void lstLevel2_Click();
    void lstLevel3_Click();
    // Check box rules; they run whenever a box's value changes, from the user or from code.
    void chkAllLevel2_Click();
    void chkAllLevel3_Click();
    void chkAllSelectedLevel2_Click();
    void mnuRestoreSelection_Click();

    // Selecting an entry from code as a click would: it becomes current and selected, then
    // its list's click rule runs.
    void selectAsClick(QListWidget* list, int row);

    // Removes the list's current entry without touching its selected entries.
    static void clearCurrent(QListWidget* list);

    // True while a rule changes selections itself; the list rules then do nothing.
    bool SelectionBusy = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool clickApplies(const QListWidget* list) const;
    void focusComposeBox();
    static void uncheck(QCheckBox* box);
    // "All Level2 Users" / "All Level3 Users": check one group, select its whole list.
    void checkAllOfLevel(QCheckBox* box, QCheckBox* otherGroup, QListWidget* list);

    RecipientControls c_;
};

} // namespace wispline
