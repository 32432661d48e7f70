#pragma once
// The controls of the main window that hold the recipient selection. The main window owns
// them; the directory and messaging classes work on them.
class QListWidget;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QTextEdit;
class QAction;

namespace wispline
{

struct RecipientControls {
    QListWidget* lstLevel1 = nullptr; // LevelList: sorted, simple multi-select
    QListWidget* lstLevel2 = nullptr;
    QListWidget* lstLevel3 = nullptr;
    QCheckBox* chkAllLevel2 = nullptr;         // "All Level2 Users"
    QCheckBox* chkAllLevel3 = nullptr;         // "All Level3 Users"
    QCheckBox* chkAllSelectedLevel2 = nullptr; // "All Users under Selected Level2", never shown
    QLineEdit* txtSendData = nullptr;          // compose box
    QPushButton* cmdSend = nullptr;            // "&Send"
    QTextEdit* RTBox = nullptr;                // message area
    QAction* mnuRestoreSelection = nullptr;    // "Restore Selection", checkable
};

} // namespace wispline
