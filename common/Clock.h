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
    // Milliseconds on a monotonic counter with an arbitrary origin.
    virtual qint64 monotonicMs() const;

    static const Clock &system();
};
