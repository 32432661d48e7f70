#pragma once
// The all-messages view of the main window: the day's messages as the server keeps them,
// downloaded on request, shown again on request and hidden with Esc.
#include <QPointer>
#include <QString>

class QTextEdit;
class QWidget;

namespace wispline
{

class LinkWriter;

class DayMessages
{
public:
    DayMessages(QTextEdit* RTBAllMsgs, QWidget* fraAllMessages, LinkWriter* link);

    // Menu "Download Messages": asks the server for the day's messages; the replies arrive
    // through the dispatcher.
    void mnuDownloadMessages_Click();
    // Menu "View Messages": shows what the last download left in the view.
    void mnuViewMessages_Click();
    // Esc typed in the main window: hides the view when it is shown and gives the keyboard back
    // to the control that had it. Returns whether it did.
    bool escapePressed();
    bool isShown() const;

    // The replies to a download: "START", each "MSG", "END".
    void onStart();
    void onMessage(const QString& text);
    void onEnd();

private:
    bool viewHoldsText() const;
    // Shows the view with the keyboard in it: it covers every other control of the window.
    void showView();
    static void showNoMessages();

    QTextEdit* RTBAllMsgs;
    QWidget* fraAllMessages;
    LinkWriter* link_;
    QPointer<QWidget> focusBefore_; // where the keyboard was when the view came up
};

} // namespace wispline
