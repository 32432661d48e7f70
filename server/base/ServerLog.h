#pragma once
// One line per connection event or error, on standard error.
#include <QString>

namespace wispline::server
{

void logLine(const QString& text);
// Details that are personal data or noise: written only when asked for (--debug).
void debugLine(const QString& text);
void setDebugEnabled(bool enabled);
// Silences logLine (load runs would otherwise spend their time writing the log).
void setLogEnabled(bool enabled);

} // namespace wispline::server
