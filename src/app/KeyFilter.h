#pragma once
// Keeps the protocol's separator characters out of a text box that feeds the wire.
#include <QObject>
#include <QString>

class QLineEdit;

namespace wispline
{

// What the filter does with one typed character.
enum class KeyVerdict { Pass, RefuseTilde, RefuseGrave, Swallow };
KeyVerdict judgeKey(QChar c);

// The text without "~" and "`". `hadSeparator` tells whether one was removed.
QString stripSeparators(const QString& text, bool* hadSeparator = nullptr);

// Installs the filter on a line edit: a typed "~" or "`" is refused with its "Invalid Key"
// box, a typed quote or apostrophe is swallowed silently, and text that arrives any other way
// (paste, drag and drop) keeps its quotes but loses its separators, and a removed separator is
// reported with the same box once the paste is done.
void installSeparatorFilter(QLineEdit* edit);

} // namespace wispline
