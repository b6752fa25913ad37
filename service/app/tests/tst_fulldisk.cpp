// Settings and SetRoomArea on a full disk: the failed write is answered
// {"code":0} and logged, and the file keeps its earlier content.

#include "service/testsupport/LogCapture.h"
#include "service/testsupport/RecordingTargets.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

#include <sys/mount.h>

class TestFullDisk : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        KORVEL_REQUIRE_HARNESS();
        m_log.emplace();
    }

    void init()
    {
        QVERIFY(m_folder.isValid());
        m_app = std::make_unique<RecordingTargets>(folder());
    }

    void cleanup()
    {
        m_app.reset();
        ::umount2(QFile::encodeName(folder()).constData(), MNT_DETACH);
    }

    void failedWriteKeepsTheFile_data()
    {
        QTest::addColumn<QByteArray>("request"); // sent twice: before and after the disk is full
        QTest::addColumn<QString>("file");

        QTest::newRow("SetRoomArea") << QByteArray(R"({"Msg":"SetRoomArea","zones":[{"name":"一楼","rooms":[101]}]})")
                                     << "RoomArea.json";
        QTest::newRow("Settings") << QByteArray(R"({"Msg":"Settings","data":[{"Name":"kitchen80","Width":58}]})")
                                  << "PrinterConfig.json";
        QTest::newRow("UpdateConfig") << QByteArray(R"({"Msg":"UpdateConfig","startTime":"600"})")
                                      << "Updater/Update.conf";
    }

    void failedWriteKeepsTheFile()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, file);
        // A 8 KiB file system in place of the program's folder, in this
        // process's own mount namespace.
        QVERIFY(::mount("tmpfs", QFile::encodeName(folder()).constData(), "tmpfs", 0, "size=8k") == 0);
        // Update.conf is only ever rewritten, never created.
        if (file.startsWith(QLatin1String("Updater/"))) {
            QVERIFY(QDir(folder()).mkpath(QStringLiteral("Updater")));
            QVERIFY(TestSupport::writeFile(folder() + QLatin1Char('/') + file, R"({"device":"10","startTime":"1"})"));
        }
        QCOMPARE(m_app->answerTo(request), QStringLiteral(R"({"code":200})"));
        const QString path = folder() + QLatin1Char('/') + file;
        const QByteArray before = TestSupport::readAll(path);
        QVERIFY(!before.isEmpty());

        QFile filler(folder() + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(1024, 'f')) == 1024 && filler.flush()) {
        }
        m_app->configuredPrinters.clear();
        m_log->mark();

        QCOMPARE(m_app->answerTo(request), QStringLiteral(R"({"code":0})"));
        QCOMPARE(TestSupport::readAll(path), before);
        QStringList files = QDir(folder()).entryList(QDir::Files | QDir::Hidden);
        files += QDir(folder() + QStringLiteral("/Updater")).entryList(QDir::Files | QDir::Hidden);
        files.sort();
        QStringList expected{QFileInfo(file).fileName(), QStringLiteral("filler")};
        expected.sort();
        QCOMPARE(files, expected);
        QCOMPARE(m_log->linesWith(QStringLiteral("打印机配置写失败,./%1").arg(file)).size(), 1);
        // Settings still hold until the next start.
        if (file == QLatin1String("PrinterConfig.json"))
            QCOMPARE(m_app->configuredPrinters, QStringList{QStringLiteral("kitchen80")});
    }

private:
    QString folder() const { return m_folder.path(); }

    QTemporaryDir m_folder;
    std::unique_ptr<RecordingTargets> m_app;
    std::optional<LogCapture> m_log;
};

int main(int argc, char **argv)
{
    if (!TestSupport::enterOwnMountNamespace())
        return 2;
    QCoreApplication app(argc, argv);
    TestFullDisk test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_fulldisk.moc"
