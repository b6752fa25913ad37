#pragma once

#include "service/printing/PrintRecord.h"

#include "common/PollingThread.h"

#include <QList>
#include <QMutex>

class CMainApp;
class CPrinterManager;
class Clock;

// Decouples print commands from printing: the dispatcher appends jobs and
// returns at once; this thread prints them one at a time, in arrival order,
// each once its logo is on disk or it has waited long enough.
class CPrinterQueue : public CPollingThread
{
public:
    // A job waits at most this long after its arrival for its logo.
    static constexpr qint64 LogoWaitMs = 1500;
    static constexpr int PauseAfterPrintMs = 100;
    static constexpr int IdlePauseMs = 500;

    // owner may be null (no count is published then).
    explicit CPrinterQueue(CMainApp *owner, const Clock *clock = nullptr);
    ~CPrinterQueue() override;

    // Main thread. Never waits for a printer.
    void addJob(PrintRecord &job);
    void setPrinterConfig(const PrintRecord &record);

    CPrinterManager *renderer() const { return m_renderer; }
    int jobCount() const;

    // One pass of the thread loop; returns the pause before the next pass.
    // The thread calls it; tests drive it directly on a manual clock.
    int printPass();

protected:
    void runPass() override;

private:
    struct QueuedJob
    {
        PrintRecord record;
        // Arrival on the monotonic clock too: a wall clock set back must not
        // hold the queue until it catches up again.
        qint64 queuedMonotonicMs = 0;
    };

    bool isJobReady();
    void printCurrentJob();
    void resetCurrentJob();
    // Stores the count on the owner while the list lock is held, so the last
    // change of the list also makes the last store; true when it changed.
    bool storeCountLocked(int count);
    void announceCount(bool changed);

    CMainApp *m_owner = nullptr;
    mutable QMutex m_mutex;
    CPrinterManager *m_renderer = nullptr;
    QueuedJob m_currentJob;
    QList<QueuedJob> m_jobs;
    const Clock *m_clock = nullptr;
};
