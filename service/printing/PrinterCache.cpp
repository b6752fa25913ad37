#include "service/printing/PrinterCache.h"

#include <QMutexLocker>

PrinterCache::PrinterCache(QObject *parent) : QThread(parent) {}

PrinterCache::~PrinterCache()
{
    stop();
}

void PrinterCache::stop()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_cancel.store(1);
        m_wake.wakeAll();
    }
    wait();
}

QList<PrinterSpooler::Printer> PrinterCache::printers()
{
    QMutexLocker lock(&m_mutex);
    if (!m_everListed && isRunning())
        m_listed.wait(&m_mutex, FirstListWaitMs);
    if (!m_age.isValid() || m_age.elapsed() > StaleAfterMs) {
        m_refreshAsked = true;
        m_wake.wakeAll();
    }
    return m_printers;
}

QStringList PrinterCache::printerNames()
{
    QStringList names;
    for (const PrinterSpooler::Printer &printer : printers())
        names.append(printer.name);
    return names;
}

// False once stop was asked for.
bool PrinterCache::waitForRefresh()
{
    QMutexLocker lock(&m_mutex);
    if (!m_refreshAsked && !m_stopping)
        m_wake.wait(&m_mutex, RefreshIntervalMs);
    m_refreshAsked = false;
    return !m_stopping;
}

void PrinterCache::run()
{
    do {
        QList<PrinterSpooler::Printer> listed;
        const bool answered = PrinterSpooler::listPrinters(&listed, &m_cancel);
        QMutexLocker lock(&m_mutex);
        // A spooler that does not answer lists no printers: a print request
        // then goes to the default printer, which is what a cashier gets
        // from a dead print server anyway.
        m_printers = answered ? listed : QList<PrinterSpooler::Printer>();
        m_everListed = true;
        m_age.start();
        m_listed.wakeAll();
    } while (waitForRefresh());
}
