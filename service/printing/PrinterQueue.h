#pragma once

#include "common/PollingThread.h"
#include "service/printing/PrintJobs.h"
#include "service/printing/PrintRecord.h"

#include <QList>
#include <QMutex>
#include <QStringList>

#include <functional>
#include <utility>

class CPrinterManager;
class Clock;

// Decouples print commands from printing: the dispatcher appends jobs and
// returns at once; this thread prints them one at a time, in arrival order,
// each once its logo is on disk or it has waited long enough.
class CPrinterQueue : public CPollingThread, public PrintJobs
{
    Q_OBJECT

public:
    // A job waits at most this long after its arrival for its logo.
    static constexpr qint64 LogoWaitMs = 1500;
    static constexpr int PauseAfterPrintMs = 100;
    static constexpr int IdlePauseMs = 500;
    // Jobs waiting in memory are capped by their total size (receipt text as
    // held, UTF-16): a client that queues receipts faster than the printer
    // takes them must not fill the memory. At least four of the largest
    // receipts a request can carry fit, and hundreds of ordinary ones.
    static constexpr qint64 MaxQueuedBytes = 32 * 1024 * 1024;

    // The installed printers, as far as known without waiting on the print
    // server. Called on the queue's thread.
    using PrinterNames = std::function<QStringList()>;

    explicit CPrinterQueue(const Clock *clock = nullptr, QObject *parent = nullptr);
    ~CPrinterQueue() override;

    // Main thread. Never waits for a printer. False, with a log line, when
    // the job would take the queue over its size limit; it is not queued.
    bool addJob(PrintRecord &job) override;
    void setPrinterConfig(const PrintRecord &record) override;

    // While it lists no printer, jobs wait in the queue rather than being
    // rendered to nowhere. Unset: every job is printed. Before start().
    void setPrinterNames(PrinterNames printerNames) { m_printerNames = std::move(printerNames); }

    CPrinterManager *renderer() const { return m_renderer; }
    int jobCount() const;

    // One pass of the thread loop; returns the pause before the next pass.
    // The thread calls it; tests drive it directly on a manual clock.
    int printPass();

signals:
    // The number of queued jobs changed; emitted from the thread that
    // changed it (the main thread adds, the queue's thread takes), under the
    // list lock, so the last change is also the last count told.
    // Receivers connect directly and only store the number, or queue it.
    void printQuantityChanged(int quantity);
    // Why the waiting jobs cannot print; empty once they can. From the
    // queue's thread, only on a change.
    void printerProblemChanged(const QString &problem);

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

    static qint64 sizeOf(const PrintRecord &job);

    bool hasPrinter();
    bool isJobReady();
    void printCurrentJob();
    void resetCurrentJob();
    // Called with the list lock held.
    void announceCountLocked();

    int m_announcedCount = 0;
    mutable QMutex m_mutex;
    CPrinterManager *m_renderer = nullptr;
    QueuedJob m_currentJob;
    QList<QueuedJob> m_jobs;
    qint64 m_queuedBytes = 0; // of m_jobs, guarded by m_mutex
    const Clock *m_clock = nullptr;
    PrinterNames m_printerNames;
    bool m_waitingForPrinter = false; // queue's thread only
};
