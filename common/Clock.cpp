#include "common/Clock.h"

#include "platform/PerformanceCounter.h"

namespace {

struct CounterStart
{
    qint64 frequency = PerformanceCounter::frequency();
    qint64 value = PerformanceCounter::value();
};

} // namespace

Clock::~Clock() = default;

QDateTime Clock::localNow() const
{
    return QDateTime::currentDateTime();
}

qint64 Clock::epochMs() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

qint64 Clock::monotonicMs() const
{
    return qint64(tickCountMs());
}

const Clock &Clock::system()
{
    static const Clock clock;
    return clock;
}

quint64 ticksToRoundedMs(quint64 ticks, quint64 frequency)
{
    // (ticks * 1000 + frequency / 2) / frequency, split so that the product
    // cannot overflow: at a nanosecond frequency it would after 106 days.
    const quint64 whole = ticks / frequency;
    const quint64 rest = ticks % frequency;
    return whole * 1000 + (rest * 1000 + frequency / 2) / frequency;
}

quint64 tickCountMs()
{
    static const CounterStart start;
    const qint64 elapsed = PerformanceCounter::value() - start.value;
    return ticksToRoundedMs(quint64(qMax<qint64>(elapsed, 0)), quint64(start.frequency));
}
