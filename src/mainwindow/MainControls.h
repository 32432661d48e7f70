#pragma once
// Every control of the main window that the layouts place. The main window owns them.
class QMainWindow;
class QWidget;
class QLabel;
class QListWidget;
class QCheckBox;
class QTextEdit;
class QLineEdit;
class QPushButton;

namespace wispline
{

class FrameBox;

struct MainControls {
    QMainWindow* window = nullptr;
    QLabel* lblTitle = nullptr;
    FrameBox* fraLevel1And2 = nullptr;
    QLabel* Label1 = nullptr;
    QListWidget* lstLevel1 = nullptr;
    QLabel* Label2 = nullptr;
    QListWidget* lstLevel2 = nullptr;
    QCheckBox* chkAllSelectedLevel2 = nullptr;
    QCheckBox* chkAllLevel2 = nullptr;
    FrameBox* fraLevel3 = nullptr;
    QLabel* Label3 = nullptr;
    QListWidget* lstLevel3 = nullptr;
    QCheckBox* chkAllLevel3 = nullptr;
    FrameBox* fraMessages = nullptr;
    QTextEdit* RTBox = nullptr;
    QLabel* Label4 = nullptr;
    QLabel* Label5 = nullptr;
    QLabel* Label6 = nullptr;
    FrameBox* fraAllMessages = nullptr;
    QTextEdit* RTBAllMsgs = nullptr;
    QLineEdit* txtSendData = nullptr;
    QPushButton* cmdSend = nullptr;
};

} // namespace wispline
