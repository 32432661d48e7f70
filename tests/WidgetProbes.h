#pragma once
// Reading what a window shows: list entries, the colour of text in a message area, and what
// assistive technology is told.
#include <QAccessible>
#include <QColor>
#include <QCoreApplication>
#include <QEvent>
#include <QListWidget>
#include <QStringList>
#include <QTextCursor>
#include <QTextEdit>

namespace wispline::test
{

// A window manager that never activates the window it is installed on.
class ActivationBlocker : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        return event->type() == QEvent::WindowActivate || event->type() == QEvent::ActivationChange;
    }
};

// The notifications that appear for assistive technology while the probe lives, by their
// names: what a screen reader reads out without the focus moving. (Qt tells assistive technology
// of every widget it shows; the offscreen platform has none to tell.)
class NotificationProbe : public QObject
{
public:
    NotificationProbe() { qApp->installEventFilter(this); }
    ~NotificationProbe() override { qApp->removeEventFilter(this); }

    QStringList announced;

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && watched->isWidgetType()) {
            QAccessibleInterface* shown = QAccessible::queryAccessibleInterface(watched);
            if (shown && shown->role() == QAccessible::Notification)
                announced << shown->text(QAccessible::Name);
        }
        return false;
    }
};

inline QStringList listTexts(const QListWidget* list)
{
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

// The colour of the text at the first place `needle` stands in the area.
inline QColor colourOf(QTextEdit* area, const QString& needle)
{
    const qsizetype at = area->toPlainText().indexOf(needle);
    if (at < 0)
        return QColor();
    QTextCursor c(area->document());
    c.setPosition(int(at) + 1);
    return c.charFormat().foreground().color();
}

} // namespace wispline::test
