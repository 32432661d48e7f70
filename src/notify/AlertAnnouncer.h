#pragma once
// Reads an alert out to a screen reader: a notification, invisible on screen, that is shown anew
// with the alert's text for each alert. Screen readers speak a notification when it appears,
// whichever program has the keyboard, so nothing takes the focus from where the user works.
#include <QWidget>

namespace wispline
{

class AlertAnnouncer : public QWidget
{
    Q_OBJECT
public:
    explicit AlertAnnouncer(QWidget* parent);

    // `text` as the notification's name, then the notification shown again. Blank text is not
    // announced.
    void announce(const QString& text);
};

} // namespace wispline
