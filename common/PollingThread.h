#pragma once

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

// A worker thread that does one pass of its work, sleeps, and does the next,
// until stop() is asked for. The sleep ends at once when stop is requested,
// so stopping never waits for a whole interval.
class CPollingThread : public QThread
{
public:
    // Sets the flag, wakes the sleep and waits for the thread to end (after
    // its final pass). Safe to call more than once and on a thread that
    // never started.
    void stop();
    bool stopRequested() const { return m_stop; }

protected:
    explicit CPollingThread(int intervalMs, QObject *parent = nullptr);
    ~CPollingThread() override;

    // One pass of the work, on the thread, every intervalMs.
    virtual void runPass() = 0;
    // Once on the thread after stop was requested: writers drain what is
    // still pending here.
    virtual void finalPass() {}

    // Sleeps ms unless stop is requested first; false when it was.
    bool sleepMs(int ms);

    void run() final;

private:
    const int m_intervalMs;
    std::atomic<bool> m_stop{false};
    QMutex m_sleepMutex;
    QWaitCondition m_wake;
};
