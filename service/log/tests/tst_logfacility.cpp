#include "service/log/LogFacility.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>
#include <vector>

#include <sys/mount.h>

// The log writers are driven pass by pass on a manual clock, so the midnight
// roll-over and the daily removal are covered without waiting.
class TestLogFacility : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lineFormat();
    void lineLoggedBeforeStartIsWrittenWithItsOwnStamp();
    void midnightRollOver();
    void missingFolderIsCreated();
    void expiry_data();
    void expiry();
    void firstRemoval_data();
    void firstRemoval();
    void removalCatchesUpAfterSleep();
    void concurrentLoggingLosesAndSplitsNothing();
    void pendingLinesAreWrittenOnStop();
    void pendingLinesAreCapped();
    void dayFileStopsGrowingAtItsLimit();
    void dayLimitHoldsALargeVenue();
    void lowFreeSpaceStopsWritingUntilSpaceReturns();

private:
    QString logFile(const QString &prefix, const QDate &date) const;
    QStringList fileLines(const QString &path) const;
    void makeFileAged(const QString &name, qint64 ageSeconds);

    QTemporaryDir *m_appDir = nullptr;
    ManualClock *m_clock = nullptr;
};

void TestLogFacility::init()
{
    m_appDir = new QTemporaryDir;
    QVERIFY(m_appDir->isValid());
    m_clock = new ManualClock(QDateTime(QDate(2026, 3, 10), QTime(10, 0)));
    setLogClock(m_clock);
    initLogDirectory(m_appDir->path());
}

void TestLogFacility::cleanup()
{
    setLogClock(nullptr);
    delete m_clock;
    delete m_appDir;
}

QString TestLogFacility::logFile(const QString &prefix, const QDate &date) const
{
    return m_appDir->path() + "/logs/" + prefix + "_" + date.toString("yyyy-MM-dd") + ".log";
}

QStringList TestLogFacility::fileLines(const QString &path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void TestLogFacility::makeFileAged(const QString &name, qint64 ageSeconds)
{
    const QString path = m_appDir->path() + "/logs/" + name;
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("old\n");
    file.flush(); // a later flush would touch the time again
    QVERIFY(file.setFileTime(m_clock->localNow().addSecs(-ageSeconds), QFileDevice::FileModificationTime));
    file.close();
}

void TestLogFacility::lineFormat()
{
    m_clock->setLocalNow(QDateTime(QDate(2026, 3, 10), QTime(14, 5, 9, 250)));
    CBackupFiles writer("PrinterLog");
    const int line = __LINE__ + 1;
    WRITE_LOG(writer, QStringLiteral("打印机未找到，name:%1, 将使用默认打印机").arg("Kitchen"));
    // A message with percent-encoded text keeps it as it is.
    const QString encoded = QStringLiteral("http请求(http://10.0.0.5:12080/a%2Fb%3Ac%4)失败");
    WRITE_LOG(writer, encoded);
    // Finished by the writer: the bytes as text up to a zero byte, stamped
    // when they were queued, in their place among the other lines.
    WRITE_LOG_WITH_BYTES(writer, QStringLiteral("请求:"), QByteArray("{\"a\":\"\xff\"}\0{}", 13));
    m_clock->setLocalNow(QDateTime(QDate(2026, 3, 10), QTime(14, 5, 11)));
    WRITE_LOG(writer, QStringLiteral("after"));
    QDateTime next = CBackupFiles::firstRemovalTime(m_clock->localNow()).addDays(1);
    writer.runPass(next);

    const QByteArray bytes = TestSupport::readAll(logFile("PrinterLog", QDate(2026, 3, 10)));
    const QByteArray expected = "[2026-03-10 14:05:09] 打印机未找到，name:Kitchen, 将使用默认打印机 (tst_logfacility.cpp:"
                                + QByteArray::number(line) + ")\n"
                                "[2026-03-10 14:05:09] " + encoded.toUtf8() + " (tst_logfacility.cpp:"
                                + QByteArray::number(line + 3) + ")\n"
                                "[2026-03-10 14:05:09] 请求:{\"a\":\"\xef\xbf\xbd\"} (tst_logfacility.cpp:"
                                + QByteArray::number(line + 6) + ")\n"
                                "[2026-03-10 14:05:11] after (tst_logfacility.cpp:"
                                + QByteArray::number(line + 8) + ")\n";
    QCOMPARE(bytes, expected);
}

void TestLogFacility::lineLoggedBeforeStartIsWrittenWithItsOwnStamp()
{
    CBackupFiles writer("PrinterLog");
    m_clock->setLocalNow(QDateTime(QDate(2026, 3, 10), QTime(8, 0, 1)));
    WRITE_LOG(writer, "early");
    m_clock->setLocalNow(QDateTime(QDate(2026, 3, 10), QTime(8, 0, 30)));
    QDateTime next = CBackupFiles::firstRemovalTime(m_clock->localNow());
    writer.runPass(next);

    const QStringList lines = fileLines(logFile("PrinterLog", QDate(2026, 3, 10)));
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().startsWith("[2026-03-10 08:00:01] early ("));
}

void TestLogFacility::midnightRollOver()
{
    CBackupFiles writer("VodLog");
    m_clock->setLocalNow(QDateTime(QDate(2026, 3, 10), QTime(23, 59, 59, 800)));
    WRITE_LOG(writer, "late");
    m_clock->advanceMs(500);
    QDateTime next = QDateTime(QDate(2026, 3, 11), QTime(3, 0));
    writer.runPass(next);

    QVERIFY(!QFile::exists(logFile("VodLog", QDate(2026, 3, 10))));
    const QStringList lines = fileLines(logFile("VodLog", QDate(2026, 3, 11)));
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().startsWith("[2026-03-10 23:59:59] late ("));
}

void TestLogFacility::missingFolderIsCreated()
{
    QVERIFY(QDir(m_appDir->path() + "/logs").removeRecursively());
    CBackupFiles writer("PrinterLog");
    WRITE_LOG(writer, "again");
    QDateTime next = CBackupFiles::firstRemovalTime(m_clock->localNow()).addDays(1);
    writer.runPass(next);
    QCOMPARE(fileLines(logFile("PrinterLog", QDate(2026, 3, 10))).size(), 1);
}

void TestLogFacility::expiry_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<qint64>("ageSeconds");
    QTest::addColumn<bool>("removed");

    QTest::newRow("eight days old") << "PrinterLog_2026-03-02.log" << qint64(8 * 86400) << true;
    QTest::newRow("seven days minus a second") << "PrinterLog_2026-03-03.log" << qint64(604800 - 1) << false;
    QTest::newRow("exactly seven days") << "PrinterLog_2026-03-03.log" << qint64(604800) << false;
    QTest::newRow("seven days and a second") << "PrinterLog_2026-03-03.log" << qint64(604801) << true;
    QTest::newRow("prefix in other letter case") << "printerlog_2026-03-01.LOG" << qint64(9 * 86400) << true;
    QTest::newRow("other writer's file") << "VodLog_2026-03-01.log" << qint64(9 * 86400) << false;
    QTest::newRow("other extension") << "PrinterLog_2026-03-01.txt" << qint64(9 * 86400) << false;
    QTest::newRow("other prefix") << "Updater_2026-03-01.log" << qint64(9 * 86400) << false;
}

void TestLogFacility::expiry()
{
    QFETCH(QString, fileName);
    QFETCH(qint64, ageSeconds);
    QFETCH(bool, removed);

    makeFileAged(fileName, ageSeconds);
    CBackupFiles writer("PrinterLog");
    writer.removeExpiredLogs();
    QCOMPARE(!QFile::exists(m_appDir->path() + "/logs/" + fileName), removed);
}

void TestLogFacility::firstRemoval_data()
{
    QTest::addColumn<QTime>("start");
    QTest::addColumn<int>("passesUntilRemoval");

    // Passes are 500 ms apart; the removal runs on the first pass after 03:00.
    QTest::newRow("start at 10:00 removes at once") << QTime(10, 0) << 1;
    QTest::newRow("start at 02:00 waits for 03:00") << QTime(2, 0) << 7202;
}

void TestLogFacility::firstRemoval()
{
    QFETCH(QTime, start);
    QFETCH(int, passesUntilRemoval);

    m_clock->setLocalNow(QDateTime(QDate(2026, 3, 10), start));
    CBackupFiles writer("PrinterLog");
    QDateTime next = CBackupFiles::firstRemovalTime(m_clock->localNow());
    const QDateTime firstDue = next;

    int passes = 0;
    while (next == firstDue && passes < 20000) {
        ++passes;
        writer.runPass(next);
        m_clock->advanceMs(500);
    }
    QCOMPARE(passes, passesUntilRemoval);
    QCOMPARE(next, firstDue.addDays(1));
}

void TestLogFacility::removalCatchesUpAfterSleep()
{
    CBackupFiles writer("PrinterLog");
    QDateTime next = QDateTime(QDate(2026, 3, 11), QTime(3, 0));
    // The machine slept from the 10th at 10:00 to the 13th at 12:00.
    m_clock->setLocalNow(QDateTime(QDate(2026, 3, 13), QTime(12, 0)));
    makeFileAged("PrinterLog_2026-03-01.log", 12 * 86400);

    QList<QDateTime> dues;
    for (int pass = 0; pass < 5; ++pass) {
        dues << next;
        writer.runPass(next);
        m_clock->advanceMs(500);
    }
    // One removal per pass while behind, then none until tomorrow 03:00.
    QCOMPARE(next, QDateTime(QDate(2026, 3, 14), QTime(3, 0)));
    QCOMPARE(dues.mid(0, 4), (QList<QDateTime>{QDateTime(QDate(2026, 3, 11), QTime(3, 0)),
                                                QDateTime(QDate(2026, 3, 12), QTime(3, 0)),
                                                QDateTime(QDate(2026, 3, 13), QTime(3, 0)),
                                                QDateTime(QDate(2026, 3, 14), QTime(3, 0))}));
    QVERIFY(!QFile::exists(m_appDir->path() + "/logs/PrinterLog_2026-03-01.log"));
}

void TestLogFacility::concurrentLoggingLosesAndSplitsNothing()
{
    // The real thread loop with the system clock: lines reach the file of
    // today, whatever the manual clock says.
    setLogClock(nullptr);
    const int threads = 4;
    const int perThread = 5000;
    {
        CBackupFiles writer("PrinterLog");
        writer.start(QThread::IdlePriority);
        std::vector<std::thread> runs;
        for (int t = 0; t < threads; ++t) {
            runs.emplace_back([&writer, t] {
                for (int i = 0; i < perThread; ++i)
                    WRITE_LOG(writer, QStringLiteral("thread %1 line %2 %3").arg(t).arg(i).arg(QString(40, 'x')));
            });
        }
        for (std::thread &run : runs)
            run.join();
    }

    QStringList lines;
    const QDir logs(m_appDir->path() + "/logs");
    for (const QString &name : logs.entryList({"PrinterLog_*.log"}, QDir::Files, QDir::Name))
        lines += fileLines(logs.filePath(name));
    QCOMPARE(lines.size(), threads * perThread);

    const QRegularExpression shape(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] thread (\d) line (\d+) x{40} \(tst_logfacility\.cpp:\d+\)$)");
    QVector<int> nextLine(threads, 0);
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = shape.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const int t = match.captured(1).toInt();
        // Each thread's lines keep their order, none missing or doubled.
        QCOMPARE(match.captured(2).toInt(), nextLine[t]);
        ++nextLine[t];
    }
}

void TestLogFacility::pendingLinesAreWrittenOnStop()
{
    {
        CBackupFiles writer("PrinterLog");
        writer.start();
        for (int i = 0; i < 100; ++i)
            WRITE_LOG(writer, QStringLiteral("closing %1").arg(i));
    }
    const QStringList lines = fileLines(logFile("PrinterLog", m_clock->localNow().date()));
    QCOMPARE(lines.size(), 100);
    QVERIFY(lines.last().contains("closing 99"));
}

// Four threads log twice what may wait for the disk while the writer is
// stalled: the rest is dropped, and the count of it is written.
void TestLogFacility::pendingLinesAreCapped()
{
    const QString filler(2000, 'p');
    const qint64 lineBytes = formatLogLine(filler, __FILE__, __LINE__).size() * 2;
    const int threads = 4;
    const int perThread = int(2 * CBackupFiles::MaxPendingBytes / lineBytes / threads);
    CBackupFiles writer("PrinterLog");
    std::vector<std::thread> runs;
    for (int t = 0; t < threads; ++t)
        runs.emplace_back([&writer, &filler, perThread] {
            for (int i = 0; i < perThread; ++i)
                WRITE_LOG(writer, filler);
        });
    for (std::thread &run : runs)
        run.join();
    QDateTime next = m_clock->localNow().addDays(1);
    writer.runPass(next);

    const QStringList lines = fileLines(logFile("PrinterLog", QDate(2026, 3, 10)));
    const QRegularExpression notice(QStringLiteral("^\\[.*\\] 日志积压超过%1字节，丢弃(\\d+)行 \\(LogFacility\\.cpp:\\d+\\)$")
                                        .arg(CBackupFiles::MaxPendingBytes));
    const QRegularExpressionMatch match = notice.match(lines.last());
    QVERIFY2(match.hasMatch(), qPrintable(lines.last().left(200)));
    const int written = lines.size() - 1;
    QVERIFY(written <= CBackupFiles::MaxPendingBytes / lineBytes);
    QCOMPARE(written + match.captured(1).toInt(), threads * perThread);
}

// A client that keeps the service logging fills one day file to its limit
// and no further; the next day's file tells how many lines were not written.
void TestLogFacility::dayFileStopsGrowingAtItsLimit()
{
    const qint64 limit = 2 * 1024 * 1024;
    CBackupFiles writer("PrinterLog", limit);
    QDateTime next = m_clock->localNow().addDays(2);
    const QString filler(1000, 'd');
    const int batch = 100;
    const int total = int(limit / 1000 / batch + 3) * batch;
    for (int logged = 0; logged < total; logged += batch) {
        for (int i = 0; i < batch; ++i)
            WRITE_LOG(writer, filler);
        writer.runPass(next);
    }

    const QString today = logFile("PrinterLog", QDate(2026, 3, 10));
    QVERIFY(QFileInfo(today).size() <= limit + 200);
    const QStringList lines = fileLines(today);
    QCOMPARE(lines.filter(QStringLiteral("今天其余的日志只计数")).size(), 1);
    QVERIFY(lines.last().contains(QStringLiteral("日志文件已达%1字节").arg(limit)));
    const int unwritten = total - (lines.size() - 1);

    m_clock->setLocalNow(QDateTime(QDate(2026, 3, 11), QTime(0, 0, 1)));
    WRITE_LOG(writer, "new day");
    writer.runPass(next);
    const QStringList tomorrow = fileLines(logFile("PrinterLog", QDate(2026, 3, 11)));
    QCOMPARE(tomorrow.size(), 2);
    QVERIFY2(tomorrow.first().contains(QStringLiteral("日志文件PrinterLog_2026-03-10.log已满，未写入%1行").arg(unwritten)),
             qPrintable(tomorrow.first()));
    QVERIFY(tomorrow.last().contains("new day"));
}

// The day limit holds a large venue's day of status lines as they are
// really written, long room names included, with room to spare.
void TestLogFacility::dayLimitHoldsALargeVenue()
{
    const QString status = QStringLiteral("机顶盒状态信息更新:ip:%1 room:%2 云账号:%3")
                               .arg(QStringLiteral("192.168.100.254"), QStringLiteral("豪华大包厢A区1088"), QStringLiteral("4294967295"));
    const qint64 lineBytes = formatLogLine(status, "InformationServices.cpp", 1234).toUtf8().size();
    const qint64 venueDay = CBackupFiles::VenueBoxes * (86400 / CBackupFiles::ReportIntervalSeconds) * lineBytes;
    QVERIFY2(venueDay < CBackupFiles::MaxDayFileBytes * 9 / 10, qPrintable(QString::number(lineBytes)));
}

// Below the free-space margin of its file system the writer only counts,
// says so once, and writes again, the count first, once space is back.
void TestLogFacility::lowFreeSpaceStopsWritingUntilSpaceReturns()
{
    KORVEL_REQUIRE_HARNESS(); // mounts a small file system
    const QString logs = m_appDir->path() + "/logs";
    QVERIFY(::mount("tmpfs", QFile::encodeName(logs).constData(), "tmpfs", 0, "size=1m") == 0);
    auto unmount = qScopeGuard([&logs] { ::umount2(QFile::encodeName(logs).constData(), MNT_DETACH); });
    QFile filler(logs + "/filler");
    QVERIFY(filler.open(QIODevice::WriteOnly));
    QCOMPARE(filler.write(QByteArray(640 * 1024, 'f')), qint64(640 * 1024));
    filler.close();

    CBackupFiles writer("VodLog");
    QDateTime next = m_clock->localNow().addDays(2);
    const QString line(100, 'v');
    const int total = 5000; // about 600 KB, more than is free
    for (int logged = 0; logged < total; logged += 250) {
        for (int i = 0; i < 250; ++i)
            WRITE_LOG(writer, line);
        writer.runPass(next);
    }
    const QString today = logFile("VodLog", QDate(2026, 3, 10));
    QStringList lines = fileLines(today);
    QCOMPARE(lines.filter(QStringLiteral("磁盘剩余空间不足，日志暂停写入")).size(), 1);
    const QStorageInfo storage(logs);
    QVERIFY(storage.bytesAvailable() >= CBackupFiles::freeSpaceMargin(storage.bytesTotal()) - 4096);
    const int written = lines.size() - 1;
    QVERIFY(written > 1000);

    QVERIFY(filler.remove());
    WRITE_LOG(writer, "space is back");
    writer.runPass(next);
    lines = fileLines(today);
    QCOMPARE(lines.size(), written + 3);
    QVERIFY2(lines.at(written + 1).contains(QStringLiteral("磁盘剩余空间不足，VodLog_2026-03-10.log未写入%1行").arg(total - written)),
             qPrintable(lines.at(written + 1)));
    QVERIFY(lines.last().contains("space is back"));
}

int main(int argc, char **argv)
{
    if (!TestSupport::enterOwnMountNamespace())
        return 2;
    QCoreApplication app(argc, argv);
    TestLogFacility test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logfacility.moc"
