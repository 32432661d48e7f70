#include "notify/AlertAnnouncer.h"

#include "app/Accessibility.h"

namespace wispline
{

AlertAnnouncer::AlertAnnouncer(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("alertAnnouncer"));
    setAccessibleRole(this, QAccessible::Notification);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setGeometry(0, 0, 0, 0); // nothing to see: the sighted user has the message area and pop-up
    setVisible(false);       // nor anything to read before the first alert
}

void AlertAnnouncer::announce(const QString& text)
{
    const QString spoken = text.trimmed();
    if (spoken.isEmpty())
        return;
    setAccessibleName(spoken);
    // The change to showing is what a screen reader presents.
    if (isVisible())
        hide();
    show();
}

} // namespace wispline
