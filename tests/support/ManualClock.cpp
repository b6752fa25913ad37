#include "tests/support/ManualClock.h"

ManualClock::ManualClock(const QDateTime &start) : m_now(start) {}

QDateTime ManualClock::localNow() const
{
    QMutexLocker lock(&m_mutex);
    return m_now;
}

qint64 ManualClock::epochMs() const
{
    QMutexLocker lock(&m_mutex);
    return m_now.toMSecsSinceEpoch();
}

qint64 ManualClock::monotonicMs() const
{
    QMutexLocker lock(&m_mutex);
    return m_monotonicMs;
}

void ManualClock::setLocalNow(const QDateTime &now)
{
    QMutexLocker lock(&m_mutex);
    m_now = now;
}

void ManualClock::advanceMs(qint64 ms)
{
    QMutexLocker lock(&m_mutex);
    m_now = m_now.addMSecs(ms);
    m_monotonicMs += ms;
}
