#pragma once

#include "service/printing/PrintRecord.h"

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTextStream>

#include <memory>
#include <optional>

class QPrinter;

// Turns one queued job into paper: picks the printer, applies the layout
// stored for it, lays the receipt's HTML out as rich text and prints it.
// Lives on the print queue's thread; only the settings table is shared with
// the main thread.
class CPrinterManager : public QObject
{
    Q_OBJECT

public:
    explicit CPrinterManager(QObject *parent = nullptr);
    ~CPrinterManager() override;

    // Returns once the receipt has been handed to the printing system.
    void printJob(const PrintRecord &job);

    // Inserts or overwrites the entry of record.name. Any thread.
    void setPrinterConfig(const PrintRecord &record);
    // A consistent copy of one entry, or nothing. Any thread.
    std::optional<PrintRecord> printerConfig(const QString &name) const;

    // The printer a job's printer name stands for: the exact (case-sensitive)
    // match among the installed printers, else the default one.
    static QString choosePrinter(const QString &name, const QString &defaultPrinter);

    // The device a job naming jobPrinterName prints on: the printer chosen
    // as above, on its own paper, with the stored layout applied.
    std::unique_ptr<QPrinter> preparePrinter(const QString &jobPrinterName);
    // Lays the HTML out and prints it on the device.
    static void renderReceipt(const QString &html, QPrinter *printer);

    static constexpr qreal BaseLeftMarginPt = 15;
    static constexpr int DefaultPrinterDpi = 96;
    static constexpr int FontPointSize = 13;
    static const QString FontFamily;

public slots:
    // Renders the current receipt onto the device, keeping the buffer.
    void getPreviewData(QPrinter *printer);

private:
    void applyStoredLayout(QPrinter &printer) const;

    QString m_receipt;
    QTextStream m_receiptStream;
    // Written by the main thread while a print reads it: every access copies
    // a whole entry under the lock, so a print never sees half an update.
    mutable QMutex m_configMutex;
    QMap<QString, PrintRecord> m_printerConfigs;
};
