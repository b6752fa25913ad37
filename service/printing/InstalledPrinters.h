#pragma once

#include "platform/PrinterSpooler.h"
#include "service/printing/PrinterDirectory.h"

#include <QList>

class PrinterCache;

// The printers the printing system knows, as the cache last listed them: a
// look-up never waits for the print server.
class CInstalledPrinters : public PrinterDirectory
{
public:
    explicit CInstalledPrinters(PrinterCache &cache);

    QStringList installedPrinterNames() const override;
    QJsonArray printerList() const override;

    // USB printers that are switched off or unplugged are not offered; any
    // other printer is, since the spooler cannot tell whether a network
    // printer is really reachable.
    static QJsonArray listedPrinters(const QList<PrinterSpooler::Printer> &printers);

private:
    PrinterCache &m_cache;
};
