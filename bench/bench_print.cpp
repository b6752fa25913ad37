// Time per receipt of our own printing work, beside the printing system's
// own cost for a ready-made document. Prints to the scheduler named by
// CUPS_SERVER; run it through scripts/bench-print.
//
//   bench_print [receipts] [printer...]
//
// Without printers: the roll printers receipt58 and receipt80, then the
// sheet printer kitchen80; every printer is compared with the last one.

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
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <numeric>
#include <vector>

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

// A PDF file laid out like the printer's device: rendering onto it is the
// renderer's work without the hand-over to the scheduler.
void copyLayout(const QPrinter &device, QPrinter &pdf, const QString &pdfPath)
{
    pdf.setOutputFormat(QPrinter::PdfFormat);
    pdf.setOutputFileName(pdfPath);
    pdf.setResolution(device.resolution());
    pdf.setPageLayout(device.pageLayout());
}

// Until the scheduler has no unfinished job left (two minutes at most).
void waitUntilPrinted()
{
    QElapsedTimer waited;
    waited.start();
    while (!waited.hasExpired(120 * 1000)) {
        QProcess lpstat;
        lpstat.start(QStringLiteral("lpstat"), {QStringLiteral("-o")});
        if (!lpstat.waitForFinished() || lpstat.readAllStandardOutput().trimmed().isEmpty())
            return;
        QThread::msleep(20);
    }
}

struct Stats
{
    double median = 0;
    double mean = 0;
    double p95 = 0;
};

Stats statsOf(QVector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    Stats stats;
    stats.median = ms.at(ms.size() / 2);
    stats.mean = std::accumulate(ms.begin(), ms.end(), 0.0) / ms.size();
    stats.p95 = ms.at(qMin(ms.size() - 1, int(ms.size() * 0.95)));
    return stats;
}

double timeOnce(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e6;
}

Stats timeRuns(int runs, const std::function<void()> &work)
{
    QVector<double> ms;
    for (int i = 0; i < runs; ++i)
        ms.append(timeOnce(work));
    return statsOf(ms);
}

void report(const char *what, const Stats &stats)
{
    std::printf("  %-46s median %7.2f ms   mean %7.2f ms   p95 %7.2f ms\n", what, stats.median, stats.mean,
                stats.p95);
}

// One printer's renderer, job and PDF twin, and its timings.
struct Bench
{
    QString name;
    PrintRecord settings;
    PrintRecord job;
    std::unique_ptr<CPrinterManager> manager;
    std::unique_ptr<QPrinter> pdf;
    QVector<double> renderingMs;
    QVector<double> setUpMs;
    QVector<double> firstSetUpMs;
};

void prepare(Bench &bench, const QString &html, const QString &folder)
{
    bench.settings.name = bench.name;
    bench.settings.width = ReceiptWidthMm;
    bench.job.name = bench.name;
    bench.job.content = html;
    bench.manager = std::make_unique<CPrinterManager>();
    bench.manager->setPrinterConfig(bench.settings);
    bench.pdf = std::make_unique<QPrinter>(QPrinter::ScreenResolution);
    const QString pdfPath = folder + QStringLiteral("/receipt-") + bench.name + QStringLiteral(".pdf");
    copyLayout(bench.manager->preparePrinter(bench.name), *bench.pdf, pdfPath);
    // Warm caches: fonts, image plug-ins, the scheduler's printer list.
    for (int i = 0; i < 3; ++i) {
        CPrinterManager::renderReceipt(html, bench.pdf.get());
        bench.manager->printJob(bench.job);
    }
}

// Our own work per receipt, the printers taking turns so that a change in
// the machine's load weighs on all of them alike.
void timeOwnWork(std::vector<Bench> &benches, const QString &html, int receipts)
{
    waitUntilPrinted();
    for (int i = 0; i < receipts; ++i) {
        for (Bench &bench : benches) {
            bench.renderingMs.append(timeOnce([&] { CPrinterManager::renderReceipt(html, bench.pdf.get()); }));
            bench.setUpMs.append(timeOnce([&] { bench.manager->preparePrinter(bench.name); }));
            bench.firstSetUpMs.append(timeOnce([&] {
                CPrinterManager fresh;
                fresh.setPrinterConfig(bench.settings);
                fresh.preparePrinter(bench.name);
            }));
        }
    }
}

// The whole job and lp, one printer after the other: these wait for the
// scheduler, which the virtual roll printers keep busy cutting receipts.
void timeSubmission(Bench &bench, int receipts)
{
    const Stats rendering = statsOf(bench.renderingMs);
    const Stats setUp = statsOf(bench.setUpMs);
    waitUntilPrinted();
    const Stats full = timeRuns(receipts, [&] { bench.manager->printJob(bench.job); });
    waitUntilPrinted();
    const QString pdfPath = bench.pdf->outputFileName();
    const Stats lp = timeRuns(receipts, [&] {
        QProcess::execute(QStringLiteral("lp"), {QStringLiteral("-s"), QStringLiteral("-d"), bench.name, pdfPath});
    });
    waitUntilPrinted();

    const QSizeF pageMm = bench.pdf->pageLayout().fullRect(QPageLayout::Millimeter).size();
    std::printf("Printer %s, page %.0f x %.0f mm at %d dpi, %d receipts each\n", qPrintable(bench.name),
                pageMm.width(), pageMm.height(), bench.pdf->resolution(), receipts);
    report("layout and rendering into PDF", rendering);
    report("printer choice and device set-up (CUPS)", setUp);
    report("  the same for the printer's first job", statsOf(bench.firstSetUpMs));
    std::printf("  %-46s median %7.2f ms\n", "submission to CUPS (the rest of a job)",
                qMax(0.0, full.median - rendering.median - setUp.median));
    report("whole print job (printJob)", full);
    report("lp submitting the ready-made PDF", lp);
    std::printf("  queue pause after each print: 100 ms; our work per receipt is %.0f%% of it\n",
                full.median / 100.0 * 100.0);
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const int receipts = argc > 1 ? qMax(5, QString::fromLocal8Bit(argv[1]).toInt()) : 50;
    QStringList printers;
    for (int i = 2; i < argc; ++i)
        printers.append(QString::fromLocal8Bit(argv[i]));
    if (printers.isEmpty())
        printers = QStringList{QStringLiteral("receipt58"), QStringLiteral("receipt80"), QStringLiteral("kitchen80")};
    const QStringList installed = QPrinterInfo::availablePrinterNames();
    for (const QString &name : printers) {
        if (!installed.contains(name)) {
            std::fprintf(stderr, "bench_print: no printer %s (is CUPS_SERVER set?)\n", qPrintable(name));
            return 1;
        }
    }

    QTemporaryDir folder;
    const QString html = typicalReceipt(makeLogo(folder.path()));
    std::printf("Receipt: %d lines of HTML with a table and a logo, stored width %d mm\n",
                int(html.count(QLatin1Char('\n'))), ReceiptWidthMm);
    std::vector<Bench> benches(printers.size());
    for (int i = 0; i < printers.size(); ++i) {
        benches[size_t(i)].name = printers.at(i);
        prepare(benches[size_t(i)], html, folder.path());
    }
    timeOwnWork(benches, html, receipts);
    for (Bench &bench : benches)
        timeSubmission(bench, receipts);

    // Every printer against the last one named (a sheet printer by default).
    const auto ownWorkMs = [](const Bench &bench, const QVector<double> &setUpMs) {
        return statsOf(bench.renderingMs).median + statsOf(setUpMs).median;
    };
    const Bench &anchor = benches.back();
    const double anchorMs = ownWorkMs(anchor, anchor.setUpMs);
    const double anchorFirstMs = ownWorkMs(anchor, anchor.firstSetUpMs);
    for (const Bench &bench : benches) {
        const double ms = ownWorkMs(bench, bench.setUpMs);
        const double firstMs = ownWorkMs(bench, bench.firstSetUpMs);
        std::printf("%-12s layout + rendering + set-up %6.2f ms = %.2fx %s (first job on the printer: %6.2f ms = %.2fx)\n",
                    qPrintable(bench.name), ms, ms / anchorMs, qPrintable(anchor.name), firstMs,
                    firstMs / anchorFirstMs);
    }
    return 0;
}
