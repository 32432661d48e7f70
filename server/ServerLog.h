#pragma once
// One line per connection event or error, on standard error.
#include <QString>

namespace wispline::server
{

void logLine(const QString& text);
// Silences logLine (load runs would otherwise spend their time writing the log).
void setLogEnabled(bool enabled);

} // namespace wispline::server
