#pragma once

#include <QtGlobal>

// Milliseconds since the first call in this process, on the high-resolution
// counter, rounded to the nearest millisecond.
quint64 tickCountMs();

// The rounding step on its own: ticks elapsed at the given frequency, in
// milliseconds rounded to the nearest one. Exact for any 64-bit tick count.
quint64 ticksToRoundedMs(quint64 ticks, quint64 frequency);
