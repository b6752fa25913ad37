#include "common/LogThrottle.h"

bool LogThrottle::admit(qint64 nowMs, quint64 *unlogged)
{
    if (m_logged && nowMs - m_lastLineMs < m_intervalMs) {
        ++m_unlogged;
        return false;
    }
    if (unlogged)
        *unlogged = m_unlogged;
    m_unlogged = 0;
    m_logged = true;
    m_lastLineMs = nowMs;
    return true;
}
