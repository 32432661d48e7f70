#pragma once
#include <QString>

namespace wispline
{

// Leading and trailing spaces removed; tabs and other white space belong to the text.
QString trimSpaces(const QString& text);

} // namespace wispline
