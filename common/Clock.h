#pragma once

#include <QDateTime>

// Source of the current time. Everything that acts on the wall clock or on
// elapsed time asks a Clock, so tests can move time instead of sleeping.
class Clock
{
public:
    virtual ~Clock();

    // Current local date and time.
    virtual QDateTime localNow() const;
    // Milliseconds since the Unix epoch.
    virtual qint64 epochMs() const;
    // Milliseconds on the monotonic counter (tickCountMs) with an arbitrary origin.
    virtual qint64 monotonicMs() const;

    static const Clock &system();
};

// The process's one monotonic millisecond counter: milliseconds since its
// first use, on the high-resolution performance counter, rounded to the
// nearest millisecond. The system clock's monotonicMs() reads it.
quint64 tickCountMs();

// The rounding step on its own: ticks elapsed at the given frequency, in
// milliseconds rounded to the nearest one. Exact for any 64-bit tick count.
quint64 ticksToRoundedMs(quint64 ticks, quint64 frequency);
