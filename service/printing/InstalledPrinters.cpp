#include "service/printing/InstalledPrinters.h"

#include "service/printing/PrinterCache.h"

#include <QJsonObject>

CInstalledPrinters::CInstalledPrinters(PrinterCache &cache) : m_cache(cache) {}

QStringList CInstalledPrinters::installedPrinterNames() const
{
    return m_cache.printerNames();
}

QJsonArray CInstalledPrinters::printerList() const
{
    return listedPrinters(m_cache.printers());
}

QJsonArray CInstalledPrinters::listedPrinters(const QList<PrinterSpooler::Printer> &printers)
{
    QJsonArray list;
    for (const PrinterSpooler::Printer &printer : printers) {
        const bool unavailable = (printer.attributes & PrinterSpooler::AttributeWorkOffline)
            || (printer.status & (PrinterSpooler::StatusOffline | PrinterSpooler::StatusNotAvailable));
        if (PrinterSpooler::isUsbPort(printer.port) && unavailable)
            continue;
        QJsonObject entry;
        entry.insert(QStringLiteral("name"), printer.name);
        entry.insert(QStringLiteral("state"), QStringLiteral("Online"));
        entry.insert(QStringLiteral("default"), (printer.attributes & PrinterSpooler::AttributeDefault) ? 1 : 0);
        list.append(entry);
    }
    return list;
}
