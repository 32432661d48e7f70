#include "app/RichText.h"

#include <QTextCursor>
#include <QTextEdit>

namespace wispline
{

namespace
{
void insertColoured(QTextEdit* area, QTextCursor cursor, const QString& text, const QColor& color)
{
    QTextCharFormat format = cursor.charFormat();
    format.setForeground(color);
    cursor.insertText(text, format);
    area->setTextCursor(cursor);
}
} // namespace

void appendInColor(QTextEdit* area, const QString& text, const QColor& color)
{
    QTextCursor cursor(area->document());
    cursor.movePosition(QTextCursor::End);
    insertColoured(area, cursor, text, color);
    area->ensureCursorVisible();
}

void insertAtStartInColor(QTextEdit* area, const QString& text, const QColor& color)
{
    QTextCursor cursor(area->document());
    cursor.movePosition(QTextCursor::Start);
    insertColoured(area, cursor, text, color);
}

void insertAtCursor(QTextEdit* area, const QString& text)
{
    QTextCursor cursor = area->textCursor();
    cursor.insertText(text);
    area->setTextCursor(cursor);
}

} // namespace wispline
