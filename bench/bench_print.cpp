// Time per receipt of our own printing work, beside the printing system's
// own cost for a ready-made document. Prints to the scheduler named by
// CUPS_SERVER; run it through scripts/bench-print.
//
//   bench_print [receipts] [printer]

#include "service/printing/PrinterManager.h"
#include "service/printing/PrintRecord.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFont>
#include <QImage>
#include <QPageLayout>
#include <QPrinter>
#include <QPrinterInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <numeric>

namespace {

constexpr int ReceiptWidthMm = 58;

// A typical till receipt: logo, shop header, a table of items, totals.
QString typicalReceipt(const QString &logoPath)
{
    QString html;
    QTextStream out(&html);
    out << "<html><body style=\"font-size:12px\">\n"
        << "<div align=\"center\"><img  src=\"" << logoPath << "\" width=\"160\"></div>\n"
        << "<h3 align=\"center\">Velmora 旗舰店</h3>\n"
        << "<p align=\"center\">欢迎光临 · 收银小票</p>\n"
        << "<p>单号：20261207-000128<br>时间：2026-12-07 12:30:45<br>收银员：王小明 房间：V08</p>\n"
        << "<hr>\n"
        << "<table width=\"100%\" cellspacing=\"0\" cellpadding=\"1\">\n"
        << "<tr><th align=\"left\">品名</th><th align=\"right\">数量</th><th align=\"right\">金额</th></tr>\n";
    const char *items[] = {"青岛啤酒", "可乐", "果盘（大）", "爆米花", "矿泉水", "鸡尾酒 Mojito", "小吃拼盘"};
    for (int i = 0; i < 41; ++i) {
        out << "<tr><td>" << items[i % 7] << "</td><td align=\"right\">" << (i % 3 + 1)
            << "</td><td align=\"right\">" << QString::number(12.5 * (i % 5 + 1), 'f', 2) << "</td></tr>\n";
    }
    out << "</table>\n<hr>\n"
        << "<table width=\"100%\">\n"
        << "<tr><td>小计</td><td align=\"right\">¥562.50</td></tr>\n"
        << "<tr><td>优惠</td><td align=\"right\">-¥12.50</td></tr>\n"
        << "<tr><td><b>合计</b></td><td align=\"right\"><b>¥550.00</b></td></tr>\n"
        << "<tr><td>支付方式</td><td align=\"right\">微信支付</td></tr>\n"
        << "</table>\n<hr>\n"
        << "<p align=\"center\">谢谢惠顾，欢迎再次光临！<br>服务电话：400-000-0000</p>\n"
        << "</body></html>\n";
    return html;
}

QString makeLogo(const QString &folder)
{
    QImage logo(320, 120, QImage::Format_RGB32);
    logo.fill(Qt::white);
    for (int y = 20; y < 100; ++y)
        for (int x = 20; x < 300; ++x)
            logo.setPixel(x, y, qRgb(x % 256, y * 2 % 256, 128));
    const QString path = folder + QStringLiteral("/logo.png");
    logo.save(path, "PNG");
    return path;
}

// A PDF-file device laid out like the receipt printer: the renderer's steps
// onto it leave out everything that involves the scheduler.
void setUpPdfDevice(QPrinter &printer, const QString &pdfPath)
{
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(pdfPath);
    printer.setResolution(CPrinterManager::DefaultPrinterDpi);
    QPageLayout layout = printer.pageLayout();
    layout.setUnits(QPageLayout::Point);
    QMarginsF margins = layout.margins();
    margins.setLeft(CPrinterManager::BaseLeftMarginPt);
    layout.setMargins(margins);
    printer.setPageLayout(layout);
    QSizeF paper = printer.pageLayout().pageSize().size(QPageSize::Millimeter);
    paper.setWidth(ReceiptWidthMm);
    printer.setPageSize(QPageSize(paper, QPageSize::Millimeter));
}

// The renderer's document steps (getPreviewData).
void render(const QString &html, QPrinter &printer)
{
    QTextDocument document;
    document.setDefaultFont(QFont(CPrinterManager::FontFamily, CPrinterManager::FontPointSize));
    document.setHtml(html);
    document.setPageSize(printer.pageRect(QPrinter::DevicePixel).size());
    document.print(&printer);
}

// The renderer's printer choice and device set-up, which ask the scheduler.
void setUpPrinterDevice(const QString &printerName)
{
    const QString defaultPrinter = QPrinterInfo::defaultPrinterName();
    const QString chosen = CPrinterManager::choosePrinter(printerName, defaultPrinter);
    QPrinter printer(QPrinterInfo::printerInfo(chosen), QPrinter::ScreenResolution);
    printer.setResolution(CPrinterManager::DefaultPrinterDpi);
}

struct Stats
{
    double median = 0;
    double mean = 0;
    double p95 = 0;
};

Stats timeRuns(int runs, const std::function<void()> &work)
{
    QVector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        ms.append(timer.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    Stats stats;
    stats.median = ms.at(ms.size() / 2);
    stats.mean = std::accumulate(ms.begin(), ms.end(), 0.0) / ms.size();
    stats.p95 = ms.at(qMin(ms.size() - 1, int(ms.size() * 0.95)));
    return stats;
}

void report(const char *what, const Stats &stats)
{
    std::printf("  %-46s median %7.2f ms   mean %7.2f ms   p95 %7.2f ms\n", what, stats.median, stats.mean,
                stats.p95);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int receipts = argc > 1 ? qMax(5, QString::fromLocal8Bit(argv[1]).toInt()) : 50;
    const QString printerName = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QPrinterInfo::defaultPrinterName();
    if (printerName.isEmpty()) {
        std::fprintf(stderr, "bench_print: no printer (is CUPS_SERVER set?)\n");
        return 1;
    }

    QTemporaryDir folder;
    const QString html = typicalReceipt(makeLogo(folder.path()));
    const QString pdfPath = folder.filePath(QStringLiteral("receipt.pdf"));

    CPrinterManager manager;
    PrintRecord settings;
    settings.name = printerName;
    settings.width = ReceiptWidthMm;
    manager.setPrinterConfig(settings);
    PrintRecord job;
    job.name = printerName;
    job.content = html;

    QPrinter pdfDevice(QPrinter::ScreenResolution);
    setUpPdfDevice(pdfDevice, pdfPath);
    // Warm caches: fonts, image plug-ins, the scheduler's printer list.
    for (int i = 0; i < 3; ++i) {
        render(html, pdfDevice);
        manager.printJob(job);
    }

    const Stats rendering = timeRuns(receipts, [&] { render(html, pdfDevice); });
    const Stats setUp = timeRuns(receipts, [&] { setUpPrinterDevice(printerName); });
    const Stats full = timeRuns(receipts, [&] { manager.printJob(job); });
    const Stats lp = timeRuns(receipts, [&] {
        QProcess::execute(QStringLiteral("lp"), {QStringLiteral("-s"), QStringLiteral("-d"), printerName, pdfPath});
    });

    std::printf("Receipt: %d lines of HTML with a table and a logo, %d mm paper, printer %s, %d receipts each\n",
                int(html.count(QLatin1Char('\n'))), ReceiptWidthMm, qPrintable(printerName), receipts);
    report("layout and rendering into PDF", rendering);
    report("printer choice and device set-up (CUPS)", setUp);
    std::printf("  %-46s median %7.2f ms\n", "submission to CUPS (the rest of a job)",
                qMax(0.0, full.median - rendering.median - setUp.median));
    report("whole print job (printJob)", full);
    report("lp submitting the ready-made PDF", lp);
    std::printf("Queue pause after each print: 100 ms; our work per receipt is %.0f%% of it.\n",
                full.median / 100.0 * 100.0);
    return 0;
}
