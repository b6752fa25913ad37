#include "service/printing/PrinterQueue.h"

#include "common/Clock.h"
#include "service/log/LogFacility.h"
#include "service/printing/PrinterManager.h"

#include <QFileInfo>
#include <QMutexLocker>

CPrinterQueue::CPrinterQueue(const Clock *clock, QObject *parent)
    // The pause between passes depends on the pass (printPass), so the base
    // adds none of its own.
    : CPollingThread(0, parent), m_renderer(new CPrinterManager), m_clock(clock ? clock : &Clock::system())
{
}

CPrinterQueue::~CPrinterQueue()
{
    // At most the receipt being handed over is finished; queued jobs are
    // dropped with the list.
    stop();
    delete m_renderer;
    m_renderer = nullptr;
    m_jobs.clear();
}

bool CPrinterQueue::addJob(PrintRecord &job)
{
    const qint64 size = sizeOf(job);
    QMutexLocker lock(&m_mutex);
    if (m_queuedBytes + size > MaxQueuedBytes) {
        const int waiting = m_jobs.size();
        lock.unlock();
        WRITE_LOG(PrinterLog, QStringLiteral("打印队列已满(%1个任务)，拒绝%2字节的打印任务").arg(waiting).arg(size));
        return false;
    }
    job.active = 1;
    m_jobs.append(QueuedJob{job, m_clock->monotonicMs()});
    m_queuedBytes += size;
    announceCountLocked();
    return true;
}

qint64 CPrinterQueue::sizeOf(const PrintRecord &job)
{
    return qint64(job.content.size() + job.name.size() + job.logoPath.size()) * qint64(sizeof(QChar));
}

void CPrinterQueue::setPrinterConfig(const PrintRecord &record)
{
    if (m_renderer)
        m_renderer->setPrinterConfig(record);
}

int CPrinterQueue::jobCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_jobs.size();
}

void CPrinterQueue::runPass()
{
    sleepMs(printPass());
}

int CPrinterQueue::printPass()
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_jobs.isEmpty())
            m_currentJob = m_jobs.first();
    }
    // The printer first: the logo's wait is over long before a printer
    // comes back, and its time-out is told once, when the job prints.
    if (m_currentJob.record.active != 0 && hasPrinter() && isJobReady()) {
        printCurrentJob();
        return PauseAfterPrintMs;
    }
    return IdlePauseMs;
}

// With no printer at all, the rich-text engine would print to nowhere and
// the receipt would be lost; it waits instead, and the window says why.
bool CPrinterQueue::hasPrinter()
{
    const bool available = !m_printerNames || !m_printerNames().isEmpty();
    if (available == !m_waitingForPrinter)
        return available;
    m_waitingForPrinter = !available;
    QString problem;
    if (available) {
        WRITE_LOG(PrinterLog, QStringLiteral("打印机已可用，开始打印等待中的%1个任务").arg(jobCount()));
    } else {
        problem = QStringLiteral("没有可用的打印机（或打印服务无法连接），小票等待中");
        WRITE_LOG(PrinterLog, QStringLiteral("没有可用的打印机（未安装打印机或打印服务无法连接），%1个打印任务等待打印机")
                                  .arg(jobCount()));
    }
    emit printerProblemChanged(problem);
    return available;
}

bool CPrinterQueue::isJobReady()
{
    const QString &logoPath = m_currentJob.record.logoPath;
    if (!logoPath.isEmpty() && QFileInfo::exists(logoPath))
        return true;

    const qint64 waitedMs = m_clock->epochMs() - m_currentJob.record.receivedMs;
    const qint64 queuedForMs = m_clock->monotonicMs() - m_currentJob.queuedMonotonicMs;
    if (waitedMs > LogoWaitMs || queuedForMs > LogoWaitMs) {
        WRITE_LOG(PrinterLog, QStringLiteral("打印机等待获取商家logo文件超时，现直接打印(%1)")
                                  .arg(QFileInfo(logoPath).fileName()));
        return true;
    }
    return false;
}

void CPrinterQueue::printCurrentJob()
{
    m_renderer->printJob(m_currentJob.record);
    resetCurrentJob();

    QMutexLocker lock(&m_mutex);
    if (!m_jobs.isEmpty())
        m_queuedBytes -= sizeOf(m_jobs.takeFirst().record);
    announceCountLocked();
}

// Until the next head is copied the loop only idles.
void CPrinterQueue::resetCurrentJob()
{
    m_currentJob = QueuedJob();
}

// Under the lock, so two threads cannot tell their counts in the wrong
// order. Receivers take no lock of the queue, so no cycle can form.
void CPrinterQueue::announceCountLocked()
{
    if (m_jobs.size() == m_announcedCount)
        return;
    m_announcedCount = m_jobs.size();
    emit printQuantityChanged(m_announcedCount);
}
