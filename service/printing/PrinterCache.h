#pragma once

#include "platform/PrinterSpooler.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

// The installed printers as the spooler last listed them. A look-up takes as
// long as the print server needs to answer, seconds when it is unreachable,
// so it runs on a thread of its own; the command server only reads the last
// list and never waits for the spooler (except, briefly, for the very first
// list after start).
class PrinterCache : public QThread
{
public:
    static constexpr int RefreshIntervalMs = 5000;
    // Reading a list older than this asks for a fresh one at once, so a
    // printer just added shows in the next answer or the one after.
    static constexpr int StaleAfterMs = 1000;
    static constexpr int FirstListWaitMs = 1000;

    explicit PrinterCache(QObject *parent = nullptr);
    ~PrinterCache() override;

    // Ends the look-up under way (within a quarter second) and the thread.
    void stop();

    QList<PrinterSpooler::Printer> printers();
    QStringList printerNames();

protected:
    void run() override;

private:
    bool waitForRefresh();

    QMutex m_mutex;
    QWaitCondition m_wake;
    QWaitCondition m_listed;
    QList<PrinterSpooler::Printer> m_printers;
    bool m_everListed = false;
    bool m_refreshAsked = false;
    bool m_stopping = false;
    QElapsedTimer m_age;
    std::atomic<int> m_cancel{0};
};
