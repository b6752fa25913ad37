#pragma once

#include "service/printing/PrintRecord.h"

#include <QElapsedTimer>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <map>
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
    static QString choosePrinter(const QString &name, const QString &defaultPrinter, const QStringList &installed);

    // The device a job naming jobPrinterName prints on: the printer chosen
    // as above, on its own paper, with the stored layout applied. Kept for
    // the next job on that printer (see PreparedDevice); valid until the
    // next call.
    QPrinter &preparePrinter(const QString &jobPrinterName);
    // Lays the HTML out and prints it on the device.
    static void renderReceipt(const QString &html, QPrinter *printer);

    static constexpr qreal BaseLeftMarginPt = 15;
    static constexpr int DefaultPrinterDpi = 96;
    static constexpr int FontPointSize = 13;
    static const QString FontFamily;

    // A prepared device is set up afresh after this long, so that a driver
    // changed under the same printer name is taken up.
    static constexpr qint64 PreparedDeviceMaxAgeMs = 60 * 1000;
    // More printers than any venue has; beyond it the devices are dropped.
    static constexpr int MaxPreparedDevices = 16;

public slots:
    // Renders the current receipt onto the device, keeping the buffer.
    void getPreviewData(QPrinter *printer);

private:
    // The layout values of a printer's settings entry, or absent.
    struct StoredLayout
    {
        bool present = false;
        int printerLeft = 0;
        int width = 0;
        int height = 0;
        bool operator==(const StoredLayout &other) const;
    };

    // Creating a device asks the print server for the printer and its
    // driver description, several round trips each job; a prepared device
    // prints job after job. Kept while the printer list, the default printer
    // and the printer's settings entry stay as they were when it was made.
    struct PreparedDevice
    {
        std::unique_ptr<QPrinter> printer;
        StoredLayout layout;
        QElapsedTimer age;
    };

    StoredLayout storedLayout(const QString &printerName) const;
    static std::unique_ptr<QPrinter> createPrinter(const QString &printerName, bool isDefault,
                                                   const StoredLayout &layout);
    static void applyStoredLayout(QPrinter &printer, const StoredLayout &layout);
    void forgetDevice(const QPrinter &printer);
    void forgetDevicesIfPrintersChanged(const QStringList &installed, const QString &defaultPrinter);

    QString m_receipt;
    QTextStream m_receiptStream;
    // Written by the main thread while a print reads it: every access copies
    // a whole entry under the lock, so a print never sees half an update.
    mutable QMutex m_configMutex;
    QMap<QString, PrintRecord> m_printerConfigs;

    // Print queue thread only.
    std::map<QString, PreparedDevice> m_devices;
    QStringList m_devicesPrinters;
    QString m_devicesDefaultPrinter;
};
