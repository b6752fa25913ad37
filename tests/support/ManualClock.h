#pragma once

#include "common/Clock.h"

#include <QMutex>

// A clock that only moves when a test moves it. Safe to read from other
// threads while the test sets it.
class ManualClock : public Clock
{
public:
    explicit ManualClock(const QDateTime &start = QDateTime(QDate(2026, 1, 15), QTime(10, 0)));

    QDateTime localNow() const override;
    qint64 epochMs() const override;
    qint64 monotonicMs() const override;

    void setLocalNow(const QDateTime &now);
    void advanceMs(qint64 ms);

private:
    mutable QMutex m_mutex;
    QDateTime m_now;
    qint64 m_monotonicMs = 0;
};
