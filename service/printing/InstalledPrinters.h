#pragma once

#include "platform/PrinterSpooler.h"
#include "service/printing/PrinterDirectory.h"

#include <QList>

// The printers the printing system knows.
class CInstalledPrinters : public PrinterDirectory
{
public:
    QStringList installedPrinterNames() const override;
    QJsonArray printerList() const override;

    // USB printers that are switched off or unplugged are not offered; any
    // other printer is, since the spooler cannot tell whether a network
    // printer is really reachable.
    static QJsonArray listedPrinters(const QList<PrinterSpooler::Printer> &printers);
};
