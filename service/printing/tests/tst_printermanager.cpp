#include "service/printing/PrinterManager.h"
#include "service/testsupport/HarnessAppMain.h"
#include "service/testsupport/LogCapture.h"
#include "tests/support/PrintedJobs.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QScopeGuard>
#include <QtTest>

#include <algorithm>
#include <cstdlib>

#include <sys/stat.h>

#include <memory>
#include <optional>

namespace {

constexpr qreal PointsPerMm = 72.0 / 25.4;

QString receipt(const QString &body)
{
    return QStringLiteral("<html><body><p>%1</p><p>合计：¥12.50</p></body></html>").arg(body);
}

} // namespace

// Receipts printed through the harness's scheduler and read back from the
// documents it keeps.
class TestPrinterManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void printerChoice_data();
    void printerChoice();
    void storedLayout_data();
    void storedLayout();
    void receiptsNeverShareHtml();
    void printerListChangeBetweenJobs_data();
    void printerListChangeBetweenJobs();
    void unloadablePictureIsLeftOut_data();
    void unloadablePictureIsLeftOut();
    void qrCodePrints_data();
    void qrCodePrints();
    void refusedJobIsLogged();

private:
    // Prints one job on a fresh renderer and returns the scheduler's job.
    PrintedJobs::Job printOne(CPrinterManager &manager, const PrintRecord &job);

    std::optional<LogCapture> m_log;
};

void TestPrinterManager::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    m_log.emplace();
}

PrintedJobs::Job TestPrinterManager::printOne(CPrinterManager &manager, const PrintRecord &job)
{
    const int before = PrintedJobs::lastId();
    manager.printJob(job);
    // printJob returns once the scheduler has the job.
    const QList<PrintedJobs::Job> jobs = PrintedJobs::since(before);
    return jobs.size() == 1 ? jobs.first() : PrintedJobs::Job();
}

void TestPrinterManager::printerChoice_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("queue");
    QTest::addColumn<bool>("notFound");

    QTest::newRow("no name: default") << QString() << "receipt58" << false;
    QTest::newRow("installed") << "kitchen80" << "kitchen80" << false;
    QTest::newRow("other case") << "Kitchen80" << "receipt58" << true;
}

void TestPrinterManager::printerChoice()
{
    QFETCH(QString, name);
    QFETCH(QString, queue);
    QFETCH(bool, notFound);

    m_log->mark();
    CPrinterManager manager;
    PrintRecord job;
    job.name = name;
    job.content = receipt(QStringLiteral("choice"));
    const PrintedJobs::Job printed = printOne(manager, job);
    QVERIFY(printed.id > 0);
    QCOMPARE(printed.queue, queue);
    QVERIFY(PrintedJobs::text(printed.document).contains(QStringLiteral("合计")));

    const QStringList warnings = m_log->linesWith(QStringLiteral("打印机未找到"));
    if (notFound) {
        QCOMPARE(warnings.size(), 1);
        QVERIFY(warnings.first().contains(QStringLiteral("打印机未找到，name:%1, 将使用默认打印机").arg(name)));
    } else {
        QVERIFY(warnings.isEmpty());
    }
}

void TestPrinterManager::storedLayout_data()
{
    QTest::addColumn<QString>("printer");
    QTest::addColumn<int>("printerLeft");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<qreal>("pageWidthPt");  // 0: the printer's own
    QTest::addColumn<qreal>("pageHeightPt"); // 0: the printer's own
    QTest::addColumn<qreal>("leftMarginPt");

    QTest::newRow("58 mm, extra margin") << "receipt58" << 5 << 58 << 0 << 58 * PointsPerMm << 0.0 << 20.0;
    QTest::newRow("all zero") << "receipt58" << 0 << 0 << 0 << 0.0 << 0.0 << 15.0;
    QTest::newRow("80 x 120 mm, named") << "kitchen80" << 12 << 80 << 120 << 80 * PointsPerMm << 120 * PointsPerMm
                                        << 27.0;
}

void TestPrinterManager::storedLayout()
{
    QFETCH(QString, printer);
    QFETCH(int, printerLeft);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(qreal, pageWidthPt);
    QFETCH(qreal, pageHeightPt);
    QFETCH(qreal, leftMarginPt);

    CPrinterManager manager;
    PrintRecord job;
    job.name = printer == QLatin1String("receipt58") ? QString() : printer;
    job.content = receipt(QStringLiteral("Layout"));
    const PrintedJobs::Job own = printOne(manager, job);
    QVERIFY(own.id > 0);
    const QSizeF ownSize = PrintedJobs::pageSizePt(own.document);

    // Another entry first: the row's entry replaces one the renderer has
    // already printed with.
    PrintRecord settings;
    settings.name = printer;
    settings.printerLeft = 30;
    settings.width = 70;
    settings.height = 100;
    manager.setPrinterConfig(settings);
    QVERIFY(printOne(manager, job).id > 0);
    settings.printerLeft = printerLeft;
    settings.width = width;
    settings.height = height;
    manager.setPrinterConfig(settings);
    const PrintedJobs::Job printed = printOne(manager, job);
    QVERIFY(printed.id > 0);

    const QSizeF size = PrintedJobs::pageSizePt(printed.document);
    QVERIFY(!size.isEmpty());
    QVERIFY2(qAbs(size.width() - (pageWidthPt > 0 ? pageWidthPt : ownSize.width())) < 1.0,
             qPrintable(QString::number(size.width())));
    QVERIFY2(qAbs(size.height() - (pageHeightPt > 0 ? pageHeightPt : ownSize.height())) < 1.0,
             qPrintable(QString::number(size.height())));
    // The text starts just inside the margin (the document's own small
    // inner margin and the glyph's side bearing lie between).
    const qreal textLeft = PrintedJobs::textLeftPt(printed.document);
    QVERIFY2(textLeft >= leftMarginPt && textLeft < leftMarginPt + 5, qPrintable(QString::number(textLeft)));
}

void TestPrinterManager::receiptsNeverShareHtml()
{
    CPrinterManager manager;
    PrintRecord first;
    first.content = receipt(QStringLiteral("欢迎 FIRST"));
    PrintRecord second;
    second.content = receipt(QStringLiteral("SECOND-RECEIPT"));

    const PrintedJobs::Job firstJob = printOne(manager, first);
    const PrintedJobs::Job secondJob = printOne(manager, second);
    QVERIFY(firstJob.id > 0 && secondJob.id > 0);
    const QString firstText = PrintedJobs::text(firstJob.document);
    const QString secondText = PrintedJobs::text(secondJob.document);
    QVERIFY2(firstText.contains(QStringLiteral("欢迎 FIRST")), qPrintable(firstText));
    QVERIFY(!firstText.contains(QStringLiteral("SECOND")));
    QVERIFY(secondText.contains(QStringLiteral("SECOND-RECEIPT")));
    QVERIFY(!secondText.contains(QStringLiteral("FIRST")));
}

// A renderer keeps each printer's device from one receipt to the next; a
// printer added or removed in between decides the next receipt's queue.
void TestPrinterManager::printerListChangeBetweenJobs_data()
{
    QTest::addColumn<QString>("before"); // shell commands
    QTest::addColumn<QString>("between");
    QTest::addColumn<QString>("firstQueue");
    QTest::addColumn<QString>("secondQueue");

    const QString add = QStringLiteral("lpadmin -p spare -E -v file:///dev/null");
    const QString remove = QStringLiteral("lpadmin -x spare");
    QTest::newRow("removed") << add << remove << "spare" << "receipt58";
    QTest::newRow("added") << QStringLiteral("true") << add << "receipt58" << "spare";
}

void TestPrinterManager::printerListChangeBetweenJobs()
{
    QFETCH(QString, before);
    QFETCH(QString, between);
    QFETCH(QString, firstQueue);
    QFETCH(QString, secondQueue);
    const auto removeQueue = qScopeGuard([] { std::system("lpadmin -x spare 2>/dev/null"); });

    CPrinterManager manager;
    PrintRecord job;
    job.name = QStringLiteral("spare");
    job.content = receipt(QStringLiteral("LIST"));

    QCOMPARE(std::system(qPrintable(before)), 0);
    const PrintedJobs::Job first = printOne(manager, job);
    QCOMPARE(first.queue, firstQueue);
    QCOMPARE(std::system(qPrintable(between)), 0);
    m_log->mark();
    const PrintedJobs::Job second = printOne(manager, job);
    QCOMPARE(second.queue, secondQueue);
    QCOMPARE(m_log->linesWith(QStringLiteral("打印机未找到")).size(), secondQueue == QLatin1String("receipt58") ? 1 : 0);
}

void TestPrinterManager::unloadablePictureIsLeftOut_data()
{
    QTest::addColumn<QString>("picture"); // a path; "%1" stands for a fresh folder

    QTest::newRow("endless device") << "/dev/zero";
    QTest::newRow("pipe without writer") << "%1/pipe.png";
    QTest::newRow("missing file") << "%1/missing.png";
    QTest::newRow("not a picture") << "%1/text.png";
    QTest::newRow("too large") << "%1/large.png";
    QTest::newRow("inline, does not decode") << "data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAAB";
}

// The receipt prints without the picture and without a placeholder icon,
// and printing returns: the print thread must never hang on a file.
void TestPrinterManager::unloadablePictureIsLeftOut()
{
    QFETCH(QString, picture);
    QTemporaryDir folder;
    picture.replace(QLatin1String("%1"), folder.path());
    QCOMPARE(::mkfifo(QFile::encodeName(folder.filePath(QStringLiteral("pipe.png"))).constData(), 0600), 0);
    QVERIFY(TestSupport::writeFile(folder.filePath(QStringLiteral("text.png")), "not a picture"));
    QFile large(folder.filePath(QStringLiteral("large.png")));
    QVERIFY(large.open(QIODevice::WriteOnly) && large.resize(256 * 1024 * 1024));
    large.close();

    CPrinterManager manager;
    PrintRecord job;
    job.content = QStringLiteral("<p>BEFORE</p><img  src=\"%1\" width=\"120\"><p>AFTER</p>").arg(picture);
    m_log->mark();
    const PrintedJobs::Job printed = printOne(manager, job);
    QCOMPARE(m_log->linesWith(QStringLiteral("小票图片无法加载，未打印：%1").arg(picture)).size(), 1);
    QVERIFY(printed.id > 0);
    const QString text = PrintedJobs::text(printed.document);
    QVERIFY2(text.contains(QStringLiteral("BEFORE")) && text.contains(QStringLiteral("AFTER")), qPrintable(text));
    QCOMPARE(PrintedJobs::imageCount(printed.document), 0);
}

// A payment QR code as the cashier page writes it into the receipt, and the
// same picture as a file; both print, proportions kept. The print times are
// told for comparison.
void TestPrinterManager::qrCodePrints_data()
{
    QTest::addColumn<bool>("embedded");
    QTest::newRow("data address") << true;
    QTest::newRow("file") << false;
}

void TestPrinterManager::qrCodePrints()
{
    QFETCH(bool, embedded);
    // 300 x 300: 25 x 25 modules of 12 pixels in a QR-like pattern.
    QImage code(300, 300, QImage::Format_Grayscale8);
    code.fill(255);
    for (int y = 0; y < 25; ++y)
        for (int x = 0; x < 25; ++x)
            if ((x * 7 + y * 13 + x * y) % 3 == 0)
                for (int dy = 0; dy < 12; ++dy)
                    std::fill_n(code.scanLine(y * 12 + dy) + x * 12, 12, uchar(0));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(code.save(&buffer, "PNG"));
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("qr.png"));
    QVERIFY(TestSupport::writeFile(path, png));
    const QString source = embedded ? QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64()) : path;

    CPrinterManager manager;
    PrintRecord job;
    job.content = receipt(QStringLiteral("PAY<br><img src=\"%1\" width=\"150\">").arg(source));
    qint64 fastestMs = -1;
    PrintedJobs::Job printed;
    for (int run = 0; run < 3; ++run) {
        QElapsedTimer timer;
        timer.start();
        printed = printOne(manager, job);
        const qint64 ms = timer.elapsed();
        fastestMs = fastestMs < 0 ? ms : qMin(fastestMs, ms);
        QVERIFY(printed.id > 0);
        QCOMPARE(PrintedJobs::imageCount(printed.document), 1);
    }
    qInfo("300 x 300 QR code (%d bytes of PNG): fastest of 3 prints %lld ms", int(png.size()), fastestMs);
}

// A queue that takes no jobs: the print server's refusal is in the log.
void TestPrinterManager::refusedJobIsLogged()
{
    QCOMPARE(std::system("lpadmin -p refusing -E -v file:///dev/null && cupsreject -r closed refusing"), 0);
    const auto removeQueue = qScopeGuard([] { std::system("lpadmin -x refusing"); });
    CPrinterManager manager;
    PrintRecord job;
    job.name = QStringLiteral("refusing");
    job.content = receipt(QStringLiteral("REFUSED"));
    m_log->mark();
    manager.printJob(job);
    const QStringList refusals = m_log->linesWith(QStringLiteral("打印服务拒绝了打印任务，打印机:refusing，原因:"));
    QCOMPARE(refusals.size(), 1);
    QVERIFY2(refusals.first().contains(QStringLiteral("not accepting jobs")), qPrintable(refusals.first()));
}

int main(int argc, char **argv)
{
    return runWithHarnessApp<QApplication, TestPrinterManager>(argc, argv);
}

#include "tst_printermanager.moc"
