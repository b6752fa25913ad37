#pragma once

#include <QList>
#include <QString>
#include <QtGlobal>

#include <atomic>

// The operating system's print spooler as the PrinterStatus command sees it:
// every local printer and printer connection with its port, attribute flags
// and status flags. The flag values are those the cashier side has always
// known, whatever spooler stands behind them.
namespace PrinterSpooler {

enum Attribute : quint32 {
    AttributeDefault = 0x4,       // the system's default printer
    AttributeWorkOffline = 0x400, // the queue takes no jobs (set offline by the user)
};

enum Status : quint32 {
    StatusOffline = 0x80,         // the device is off line or the queue is stopped
    StatusNotAvailable = 0x1000,  // the device is not available
};

struct Printer
{
    QString name;
    QString port;             // where the spooler sends the jobs (device URI here)
    quint32 attributes = 0;
    quint32 status = 0;
};

// A look-up gives up when the spooler does not connect or answer within
// this time (an unreachable print server would otherwise hold it for
// half a minute or more).
constexpr int LookupTimeoutMs = 5000;

// Every printer the spooler knows, in its order. False when the spooler
// cannot be asked, or the look-up timed out or was cancelled; the list is
// then empty. Blocks for up to about LookupTimeoutMs per step; a non-zero
// *cancel, set from another thread, ends the wait within a quarter second.
bool listPrinters(QList<Printer> *printers, std::atomic<int> *cancel = nullptr);

// The spooler's error text for the last request made on the calling thread
// (printing included); empty when that request succeeded.
QString lastRequestError();

// True when the port is a locally attached USB connection.
bool isUsbPort(const QString &port);

} // namespace PrinterSpooler
