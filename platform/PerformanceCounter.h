#pragma once

#include <QtGlobal>

// The system's high-resolution monotonic counter: a tick count with an
// arbitrary origin and the number of ticks per second. It never goes back and
// does not follow changes of the wall clock.
namespace PerformanceCounter {

qint64 frequency();
qint64 value();

} // namespace PerformanceCounter
