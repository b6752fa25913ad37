#include "updater/UpdateLog.h"

#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QtTest>

class TestUpdateLog : public QObject
{
    Q_OBJECT

private slots:
    void pendingEntriesReachTheFileAtTheEnd_data();
    void pendingEntriesReachTheFileAtTheEnd();
    void trimsAtStartUp_data();
    void trimsAtStartUp();
};

static quint32 localTime(int y, int mo, int d, int h, int mi, int s)
{
    return quint32(QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime).toSecsSinceEpoch());
}

// Entries added just before the end are written all the same, whether the
// writer ran or not; two in one second share their header, in local time
// without leading zeros.
void TestUpdateLog::pendingEntriesReachTheFileAtTheEnd_data()
{
    QTest::addColumn<bool>("started");
    QTest::newRow("writer running") << true;
    QTest::newRow("writer never started") << false;
}

void TestUpdateLog::pendingEntriesReachTheFileAtTheEnd()
{
    QFETCH(bool, started);
    QTemporaryDir dir;
    TestSupport::writeFile(dir.filePath("Updatalog.txt"), "earlier");
    const quint32 time = localTime(2026, 5, 6, 7, 8, 9);
    {
        CBackupFiles log;
        log.setLogDirectory(dir.path());
        if (started)
            log.start();
        log.addEntry(time, "dir1:/u/update.zip\ndir2:/u");
        log.addEntry(time, QString::fromUtf8("================Korvel 升级"));
    }
    const QByteArray header = "\n======= [2026-5-6 7:8:9] =======\n";
    QCOMPARE(TestSupport::readAll(dir.filePath("Updatalog.txt")),
             "earlier" + header + "dir1:/u/update.zip\ndir2:/u" + header + QString::fromUtf8("================Korvel 升级").toUtf8());
}

void TestUpdateLog::trimsAtStartUp_data()
{
    QTest::addColumn<QList<int>>("entrySizes"); // bytes of each entry, header included
    QTest::addColumn<int>("kept");              // entries left at the end

    const int mib = 1024 * 1024;
    QTest::newRow("11 MiB") << QList<int>{mib / 2, mib, 5 * mib, 4 * mib + mib / 2} << 2;
    QTest::newRow("cut falls on a header") << QList<int>{mib, 5 * mib, 5 * mib} << 2;
    QTest::newRow("exactly 10 MiB") << QList<int>{5 * mib, 5 * mib} << 2;
    QTest::newRow("one huge entry") << QList<int>{11 * mib} << 1;
}

void TestUpdateLog::trimsAtStartUp()
{
    QFETCH(QList<int>, entrySizes);
    QFETCH(int, kept);
    QTemporaryDir dir;
    QList<QByteArray> entries;
    for (int size : entrySizes)
        entries << "\n=======" + QByteArray(size - 8, char('a' + entries.size()));
    QByteArray content;
    for (const QByteArray &entry : entries)
        content += entry;
    TestSupport::writeFile(dir.filePath("Updatalog.txt"), content);

    CBackupFiles log;
    log.setLogDirectory(dir.path());
    QByteArray expected;
    for (int i = entries.size() - kept; i < entries.size(); ++i)
        expected += entries.at(i);
    QVERIFY(TestSupport::readAll(dir.filePath("Updatalog.txt")) == expected);
}

QTEST_GUILESS_MAIN(TestUpdateLog)
#include "tst_UpdateLog.moc"
