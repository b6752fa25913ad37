#pragma once

#include <QJsonArray>
#include <QStringList>

// The printers of the machine, as the command dispatcher asks for them.
class PrinterDirectory
{
public:
    virtual ~PrinterDirectory() = default;

    virtual QStringList installedPrinterNames() const = 0;
    // The installed printers as the PrinterStatus command lists them.
    virtual QJsonArray printerList() const = 0;
};
