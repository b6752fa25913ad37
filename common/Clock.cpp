#include "Clock.h"

#include <QElapsedTimer>

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
    static const QElapsedTimer origin = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return origin.elapsed();
}

const Clock &Clock::system()
{
    static const Clock clock;
    return clock;
}
