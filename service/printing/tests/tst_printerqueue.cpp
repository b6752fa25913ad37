#include "common/Clock.h"
#include "service/printing/PrinterQueue.h"
#include "service/testsupport/HarnessAppMain.h"
#include "service/testsupport/LogCapture.h"
#include "tests/support/ManualClock.h"
#include "tests/support/PrintedJobs.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

// The queue is driven pass by pass on a manual clock where the logo wait
// matters, and as the running thread of the application object otherwise.
// Every job really prints through the harness's scheduler.
class TestPrinterQueue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void jobWaitsForItsLogo_data();
    void jobWaitsForItsLogo();
    void jobsBehindAMissingLogoKeepTheirOrder();
    void destructionDropsWaitingJobsPromptly();
    void fullQueueRefusesJobs();
    void jobsWaitForAPrinter();

private:
    PrintRecord job(const QString &text, const QString &logoPath = QString()) const;
    QString makeLogo(const QString &name) const;

    std::optional<LogCapture> m_log;
    std::unique_ptr<QTemporaryDir> m_images;
    std::unique_ptr<ManualClock> m_clock;
    // The counts the queue told, in order.
    QList<int> m_announced;
};

void TestPrinterQueue::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    m_log.emplace();
}

void TestPrinterQueue::init()
{
    m_images = std::make_unique<QTemporaryDir>();
    m_clock = std::make_unique<ManualClock>();
    m_log->mark();
    m_announced.clear();
}

PrintRecord TestPrinterQueue::job(const QString &text, const QString &logoPath) const
{
    PrintRecord record;
    record.content = QStringLiteral("<p>%1</p>").arg(text);
    if (!logoPath.isEmpty())
        record.content += QStringLiteral("<img  src=\"%1\" width=\"120\">").arg(logoPath);
    record.logoPath = logoPath;
    record.receivedMs = m_clock->epochMs();
    return record;
}

QString TestPrinterQueue::makeLogo(const QString &name) const
{
    QImage logo(120, 60, QImage::Format_RGB32);
    logo.fill(Qt::darkRed);
    const QString path = m_images->filePath(name);
    logo.save(path, "PNG");
    return path;
}

void TestPrinterQueue::jobWaitsForItsLogo_data()
{
    QTest::addColumn<QString>("logo");    // "": none; "ready": on disk; else a name never downloaded
    QTest::addColumn<int>("clockSetBackS"); // the wall clock jumps back after the job arrived
    QTest::addColumn<qint64>("waitMs");   // 0: prints on the first pass

    QTest::newRow("logo on disk") << "ready" << 0 << qint64(0);
    QTest::newRow("no logo") << QString() << 0 << CPrinterQueue::LogoWaitMs + 1;
    QTest::newRow("logo not downloaded") << "0cc175b9c0f1b6a831c399e269772661.png" << 0 << CPrinterQueue::LogoWaitMs + 1;
    QTest::newRow("wall clock set back") << QString() << 3600 << CPrinterQueue::LogoWaitMs + 1;
}

void TestPrinterQueue::jobWaitsForItsLogo()
{
    QFETCH(QString, logo);
    QFETCH(int, clockSetBackS);
    QFETCH(qint64, waitMs);

    CPrinterQueue queue(m_clock.get());
    const QString logoPath = logo == QLatin1String("ready") ? makeLogo(QStringLiteral("ready.png"))
                             : logo.isEmpty()               ? QString()
                                                            : m_images->filePath(logo);
    PrintRecord record = job(QStringLiteral("WAITED"), logoPath);
    const int before = PrintedJobs::lastId();
    queue.addJob(record);
    QCOMPARE(record.active, 1);
    m_clock->setLocalNow(m_clock->localNow().addSecs(-clockSetBackS));

    if (waitMs > 0) {
        QCOMPARE(queue.printPass(), CPrinterQueue::IdlePauseMs);
        m_clock->advanceMs(waitMs - 1);
        QCOMPARE(queue.printPass(), CPrinterQueue::IdlePauseMs);
        QCOMPARE(PrintedJobs::since(before).size(), 0);
        m_clock->advanceMs(1);
    }
    QCOMPARE(queue.printPass(), CPrinterQueue::PauseAfterPrintMs);
    const QList<PrintedJobs::Job> printed = PrintedJobs::since(before);
    QCOMPARE(printed.size(), 1);
    if (logo == QLatin1String("ready"))
        QCOMPARE(PrintedJobs::imageCount(printed.first().document), 1);

    const QStringList timeouts = m_log->linesWith(QStringLiteral("超时"));
    QCOMPARE(timeouts.size(), waitMs > 0 ? 1 : 0);
    if (waitMs > 0)
        QVERIFY2(timeouts.first().contains(QStringLiteral("打印机等待获取商家logo文件超时，现直接打印(%1)").arg(logo)),
                 qPrintable(timeouts.first()));
}

// A logo that never comes holds back the jobs behind it, even one whose own
// logo is ready, until its wait is over; then all follow in order.
void TestPrinterQueue::jobsBehindAMissingLogoKeepTheirOrder()
{
    CPrinterQueue queue(m_clock.get());
    connect(&queue, &CPrinterQueue::printQuantityChanged, this, [this](int count) { m_announced.append(count); },
            Qt::DirectConnection);
    PrintRecord first = job(QStringLiteral("ORDER-A"), m_images->filePath(QStringLiteral("never.png")));
    PrintRecord second = job(QStringLiteral("ORDER-B"));
    PrintRecord third = job(QStringLiteral("ORDER-C"), makeLogo(QStringLiteral("ready.png")));
    const int before = PrintedJobs::lastId();
    queue.addJob(first);
    queue.addJob(second);
    queue.addJob(third);
    QCOMPARE(m_announced.last(), 3);

    m_clock->advanceMs(1000);
    QCOMPARE(queue.printPass(), CPrinterQueue::IdlePauseMs);
    QCOMPARE(PrintedJobs::since(before).size(), 0);

    m_clock->advanceMs(501);
    for (int pass = 0; pass < 3; ++pass)
        QCOMPARE(queue.printPass(), CPrinterQueue::PauseAfterPrintMs);
    QCOMPARE(queue.printPass(), CPrinterQueue::IdlePauseMs);

    const QList<PrintedJobs::Job> printed = PrintedJobs::since(before);
    QCOMPARE(printed.size(), 3);
    const QStringList order = {QStringLiteral("ORDER-A"), QStringLiteral("ORDER-B"), QStringLiteral("ORDER-C")};
    for (int i = 0; i < 3; ++i)
        QVERIFY(PrintedJobs::text(printed.at(i).document).contains(order.at(i)));
    QCOMPARE(PrintedJobs::imageCount(printed.at(2).document), 1);

    const QStringList timeouts = m_log->linesWith(QStringLiteral("超时"));
    QCOMPARE(timeouts.size(), 2);
    QVERIFY(timeouts.at(0).contains(QStringLiteral("(never.png)")));
    QVERIFY(timeouts.at(1).contains(QStringLiteral("()")));

    QCOMPARE(m_announced, QList<int>({1, 2, 3, 2, 1, 0}));
}

void TestPrinterQueue::destructionDropsWaitingJobsPromptly()
{
    auto queue = std::make_unique<CPrinterQueue>(m_clock.get());
    queue->start(QThread::IdlePriority);
    const int before = PrintedJobs::lastId();
    for (int i = 0; i < 3; ++i) {
        PrintRecord record = job(QStringLiteral("DROPPED"), m_images->filePath(QStringLiteral("never.png")));
        queue->addJob(record);
    }

    QElapsedTimer stopping;
    stopping.start();
    // On the manual clock the jobs would wait for their logo for ever: any
    // bound tells dropping from waiting, and a loaded machine needs room.
    queue.reset();
    QVERIFY2(stopping.elapsed() < 10000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(PrintedJobs::since(before).size(), 0);
}

// Receipts of 1 MB queued faster than they print: the queue stops taking
// them at its size limit, logs the refusal, and a printed job makes room
// again. (The dispatcher answers a refused job {"code":0}.)
void TestPrinterQueue::fullQueueRefusesJobs()
{
    CPrinterQueue queue;
    PrintRecord big = job(QStringLiteral("<!--") + QString(1024 * 1024, QLatin1Char('q')) + QStringLiteral("-->"));
    int accepted = 0;
    while (queue.addJob(big) && accepted < 100)
        ++accepted;
    QVERIFY(accepted > 0);
    QVERIFY(accepted * 2 * big.content.size() <= CPrinterQueue::MaxQueuedBytes);
    QCOMPARE(queue.jobCount(), accepted);
    QCOMPARE(m_log->linesWith(QStringLiteral("打印队列已满(%1个任务)").arg(accepted)).size(), 1);

    queue.start(QThread::IdlePriority);
    QTRY_VERIFY_WITH_TIMEOUT(queue.jobCount() < accepted, 20000);
    QVERIFY(queue.addJob(big));
}

// No printer at all (none installed, or the print server unreachable): the
// receipts stay queued and counted, the reason is told once, and they print
// in order when a printer appears.
void TestPrinterQueue::jobsWaitForAPrinter()
{
    QStringList installed;
    CPrinterQueue queue(m_clock.get());
    queue.setPrinterNames([&installed] { return installed; });
    QStringList problems;
    connect(&queue, &CPrinterQueue::printerProblemChanged, this,
            [&problems](const QString &problem) { problems.append(problem); }, Qt::DirectConnection);
    PrintRecord first = job(QStringLiteral("WAIT-A"));
    PrintRecord second = job(QStringLiteral("WAIT-B"));
    const int before = PrintedJobs::lastId();
    queue.addJob(first);
    queue.addJob(second);

    for (int pass = 0; pass < 3; ++pass) {
        QCOMPARE(queue.printPass(), CPrinterQueue::IdlePauseMs);
        m_clock->advanceMs(CPrinterQueue::LogoWaitMs);
    }
    QCOMPARE(queue.jobCount(), 2);
    QCOMPARE(PrintedJobs::since(before).size(), 0);
    QCOMPARE(problems.size(), 1);
    QVERIFY(!problems.first().isEmpty());
    QCOMPARE(m_log->linesWith(QStringLiteral("没有可用的打印机")).size(), 1);
    QCOMPARE(m_log->linesWith(QStringLiteral("超时")).size(), 0);

    installed = QStringList{QStringLiteral("receipt58")};
    QCOMPARE(queue.printPass(), CPrinterQueue::PauseAfterPrintMs);
    QCOMPARE(queue.printPass(), CPrinterQueue::PauseAfterPrintMs);
    QCOMPARE(queue.jobCount(), 0);
    QCOMPARE(problems, QStringList({problems.first(), QString()}));
    const QList<PrintedJobs::Job> printed = PrintedJobs::since(before);
    QCOMPARE(printed.size(), 2);
    QVERIFY(PrintedJobs::text(printed.at(0).document).contains(QStringLiteral("WAIT-A")));
    QVERIFY(PrintedJobs::text(printed.at(1).document).contains(QStringLiteral("WAIT-B")));
}

int main(int argc, char **argv)
{
    return runWithHarnessApp<QApplication, TestPrinterQueue>(argc, argv);
}

#include "tst_printerqueue.moc"
