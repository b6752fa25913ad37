#include "service/printing/PrinterManager.h"

#include "platform/PrinterSpooler.h"
#include "service/log/LogFacility.h"
#include "service/printing/ReceiptDocument.h"

#include <QFont>
#include <QMutexLocker>
#include <QPageLayout>
#include <QPrinter>
#include <QPrinterInfo>

// The family receipts are designed in.
const QString CPrinterManager::FontFamily = QStringLiteral("Microsoft YaHei");

CPrinterManager::CPrinterManager(QObject *parent)
    : QObject(parent), m_receiptStream(&m_receipt, QIODevice::ReadWrite)
{
    // Where the receipt family is not installed, take a CJK face with Latin
    // glyphs of its own rather than a Latin face plus a CJK fallback: one
    // typeface on the receipt, and one font less to embed in every job.
    QFont::insertSubstitutions(FontFamily, {QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Noto Sans CJK SC"),
                                            QStringLiteral("Source Han Sans SC"), QStringLiteral("Droid Sans Fallback")});
}

CPrinterManager::~CPrinterManager() = default;

void CPrinterManager::setPrinterConfig(const PrintRecord &record)
{
    QMutexLocker lock(&m_configMutex);
    m_printerConfigs.insert(record.name, record);
}

std::optional<PrintRecord> CPrinterManager::printerConfig(const QString &name) const
{
    QMutexLocker lock(&m_configMutex);
    const auto entry = m_printerConfigs.constFind(name);
    if (entry == m_printerConfigs.constEnd())
        return std::nullopt;
    return *entry;
}

QString CPrinterManager::choosePrinter(const QString &name, const QString &defaultPrinter)
{
    return choosePrinter(name, defaultPrinter, name.isEmpty() ? QStringList() : QPrinterInfo::availablePrinterNames());
}

QString CPrinterManager::choosePrinter(const QString &name, const QString &defaultPrinter, const QStringList &installed)
{
    if (!name.isEmpty()) {
        for (const QString &printerName : installed) {
            if (printerName == name)
                return printerName;
        }
        WRITE_LOG(PrinterLog, QStringLiteral("打印机未找到，name:%1, 将使用默认打印机").arg(name));
    }
    return defaultPrinter;
}

void CPrinterManager::printJob(const PrintRecord &job)
{
    m_receiptStream << job.content;
    m_receiptStream.flush();

    QPrinter &printer = preparePrinter(job.name);
    const QString printerName = printer.printerName();
    getPreviewData(&printer);
    // The printing system hands the job to the print server when the page
    // is finished and keeps its verdict to itself; a refusal must not pass
    // as a printed receipt without a word.
    const QString refusal = PrinterSpooler::lastRequestError();
    if (!refusal.isEmpty()) {
        WRITE_LOG(PrinterLog, QStringLiteral("打印服务拒绝了打印任务，打印机:%1，原因:%2").arg(printerName, refusal));
        // Whatever changed at the server, the next job starts from a new device.
        forgetDevice(printer);
    }

    // The next job must start from an empty receipt.
    m_receipt.clear();
    m_receiptStream.seek(0);
}

QPrinter &CPrinterManager::preparePrinter(const QString &jobPrinterName)
{
    const QString defaultPrinter = QPrinterInfo::defaultPrinterName();
    const QStringList installed = QPrinterInfo::availablePrinterNames();
    forgetDevicesIfPrintersChanged(installed, defaultPrinter);
    const QString printerName = choosePrinter(jobPrinterName, defaultPrinter, installed);
    const StoredLayout layout = storedLayout(printerName);

    auto kept = m_devices.find(printerName);
    if (kept != m_devices.end() && kept->second.layout == layout
        && !kept->second.age.hasExpired(PreparedDeviceMaxAgeMs))
        return *kept->second.printer;
    if (kept == m_devices.end() && m_devices.size() >= size_t(MaxPreparedDevices))
        m_devices.clear();
    PreparedDevice &device = m_devices[printerName];
    device.printer = createPrinter(printerName, !printerName.isEmpty() && printerName == defaultPrinter, layout);
    device.layout = layout;
    device.age.start();
    return *device.printer;
}

void CPrinterManager::forgetDevice(const QPrinter &printer)
{
    for (auto device = m_devices.begin(); device != m_devices.end(); ++device) {
        if (device->second.printer.get() == &printer) {
            m_devices.erase(device);
            return;
        }
    }
}

// A printer added, removed or renamed, or another default printer, may stand
// behind a name a device was made for.
void CPrinterManager::forgetDevicesIfPrintersChanged(const QStringList &installed, const QString &defaultPrinter)
{
    if (installed == m_devicesPrinters && defaultPrinter == m_devicesDefaultPrinter)
        return;
    m_devices.clear();
    m_devicesPrinters = installed;
    m_devicesDefaultPrinter = defaultPrinter;
}

std::unique_ptr<QPrinter> CPrinterManager::createPrinter(const QString &printerName, bool isDefault,
                                                         const StoredLayout &layout)
{
    const QPrinterInfo printerInfo = QPrinterInfo::printerInfo(printerName);
    auto printer = std::make_unique<QPrinter>(printerInfo, QPrinter::ScreenResolution);
    // Qt's CUPS device starts on the locale's paper (A4) whatever the printer
    // has loaded. Start from the printer's own paper, as its driver would, so
    // that a roll printer's receipt is one long page, not A4 sheets.
    if (printerInfo.defaultPageSize().isValid())
        printer->setPageSize(printerInfo.defaultPageSize());
    if (isDefault)
        printer->setResolution(DefaultPrinterDpi);
    if (layout.present)
        applyStoredLayout(*printer, layout);
    return printer;
}

bool CPrinterManager::StoredLayout::operator==(const StoredLayout &other) const
{
    return present == other.present && printerLeft == other.printerLeft && width == other.width
           && height == other.height;
}

CPrinterManager::StoredLayout CPrinterManager::storedLayout(const QString &printerName) const
{
    StoredLayout layout;
    const std::optional<PrintRecord> entry = printerConfig(printerName);
    if (entry) {
        layout.present = true;
        layout.printerLeft = entry->printerLeft;
        layout.width = entry->width;
        layout.height = entry->height;
    }
    return layout;
}

void CPrinterManager::applyStoredLayout(QPrinter &printer, const StoredLayout &entry)
{
    QPageLayout layout = printer.pageLayout();
    layout.setUnits(QPageLayout::Point);
    QMarginsF margins = layout.margins();
    margins.setLeft(entry.printerLeft != 0 ? BaseLeftMarginPt + entry.printerLeft : BaseLeftMarginPt);
    layout.setMargins(margins);
    printer.setPageLayout(layout);

    QSizeF paper = printer.pageLayout().pageSize().size(QPageSize::Millimeter);
    if (entry.width != 0)
        paper.setWidth(entry.width);
    if (entry.height != 0)
        paper.setHeight(entry.height);
    printer.setPageSize(QPageSize(paper, QPageSize::Millimeter));
}

void CPrinterManager::getPreviewData(QPrinter *printer)
{
    renderReceipt(m_receipt, printer);
}

void CPrinterManager::renderReceipt(const QString &html, QPrinter *printer)
{
    ReceiptDocument document;
    document.setDefaultFont(QFont(FontFamily, FontPointSize));
    // One line per picture left out, so a receipt missing its QR code can be
    // traced.
    const QStringList dropped = document.setReceiptHtml(html);
    for (const QString &source : dropped)
        WRITE_LOG(PrinterLog, QStringLiteral("小票图片无法加载，未打印：%1").arg(source));
    document.setPageSize(printer->pageRect(QPrinter::DevicePixel).size());
    document.print(printer);
}
