#pragma once
// The server's two clocks. The wall clock says what time it is, for what is shown and stored (a
// message's time, the day of the day's messages); an administrator or NTP may step it. Deadlines
// (a close, a pause) run on the steady clock, which only goes forward, so a step of the wall
// clock neither holds a deadline nor lets many expire at once. Tests step the wall clock here.
#include <QDateTime>
#include <QtGlobal>

namespace wispline::server::clocks
{

// Milliseconds since the epoch, as the wall clock (and any step of it) has them.
qint64 wallMs();
// The local date and time of wallMs().
QDateTime wallNow();
// Milliseconds on a clock that never steps, from an arbitrary start.
qint64 steadyMs();

// Moves the wall clock by ms from now on (negative: back), as a step of the system clock would.
void stepWall(qint64 ms);

} // namespace wispline::server::clocks
