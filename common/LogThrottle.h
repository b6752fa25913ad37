#pragma once

#include <QtGlobal>

// Keeps a flood of like events (datagrams refused from strangers, say) from
// filling a log: the first event gets a line, then at most one per interval,
// and that line tells how many went unlogged since the previous one.
class LogThrottle
{
public:
    explicit LogThrottle(qint64 intervalMs = 60000) : m_intervalMs(intervalMs) {}

    // True when the event at nowMs (a monotonic time) is to be logged;
    // *unlogged then holds the number of events passed over before it.
    bool admit(qint64 nowMs, quint64 *unlogged);

private:
    qint64 m_intervalMs;
    qint64 m_lastLineMs = 0;
    bool m_logged = false;
    quint64 m_unlogged = 0;
};
