#include "common/PollingThread.h"

CPollingThread::CPollingThread(int intervalMs, QObject *parent) : QThread(parent), m_intervalMs(intervalMs) {}

// A subclass must call stop() in its own destructor: by the time this one
// runs, its runPass() is gone. This is the last resort for the thread itself.
CPollingThread::~CPollingThread()
{
    stop();
}

void CPollingThread::stop()
{
    {
        QMutexLocker lock(&m_sleepMutex);
        m_stop = true;
        m_wake.wakeAll();
    }
    wait();
}

bool CPollingThread::sleepMs(int ms)
{
    QMutexLocker lock(&m_sleepMutex);
    if (m_stop)
        return false;
    if (ms > 0)
        m_wake.wait(&m_sleepMutex, static_cast<unsigned long>(ms));
    return !m_stop;
}

void CPollingThread::run()
{
    while (!m_stop) {
        runPass();
        sleepMs(m_intervalMs);
    }
    finalPass();
}
