#pragma once
// Writing into a message area: plain text only, never HTML.
#include <QColor>
#include <QString>

class QTextEdit;

namespace wispline
{

// Insertion point to the end, the colour for the new text, the text inserted there.
void appendInColor(QTextEdit* area, const QString& text, const QColor& color);
// Insertion point to the very start, then as appendInColor.
void insertAtStartInColor(QTextEdit* area, const QString& text, const QColor& color);
// Replaces the current selection (or inserts at the insertion point) without a colour change.
void insertAtCursor(QTextEdit* area, const QString& text);

inline const QString kLineBreak = QStringLiteral("\r\n");
inline const QString kTwoLineBreaks = QStringLiteral("\r\n\r\n");

} // namespace wispline
