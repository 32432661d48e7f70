#pragma once
// Reading what a window shows: list entries and the colour of text in a message area.
#include <QColor>
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
