// Settings and SetRoomArea on a full disk: the failed write is answered
// {"code":0} and logged, and the file keeps its earlier content.

#include "service/testsupport/LogCapture.h"
#include "service/testsupport/RecordingApp.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <optional>

#include <sched.h>
#include <sys/mount.h>

class TestFullDisk : public QObject
{
    Q_OBJECT

public:
    explicit TestFullDisk(RecordingApp *app) : m_app(app) {}

private slots:
    void initTestCase()
    {
        KORVEL_REQUIRE_HARNESS();
        m_log.emplace();
    }

    void cleanup() { ::umount2(QFile::encodeName(folder()).constData(), MNT_DETACH); }

    void failedWriteKeepsTheFile_data()
    {
        QTest::addColumn<QByteArray>("request"); // sent twice: before and after the disk is full
        QTest::addColumn<QString>("file");

        QTest::newRow("SetRoomArea") << QByteArray(R"({"Msg":"SetRoomArea","zones":[{"name":"一楼","rooms":[101]}]})")
                                     << "RoomArea.json";
        QTest::newRow("Settings") << QByteArray(R"({"Msg":"Settings","data":[{"Name":"kitchen80","Width":58}]})")
                                  << "PrinterConfig.json";
    }

    void failedWriteKeepsTheFile()
    {
        QFETCH(QByteArray, request);
        QFETCH(QString, file);
        // A 8 KiB file system in place of the program's folder, in this
        // process's own mount namespace.
        QVERIFY(::mount("tmpfs", QFile::encodeName(folder()).constData(), "tmpfs", 0, "size=8k") == 0);
        QCOMPARE(m_app->dispatchCommand(request), QStringLiteral(R"({"code":200})"));
        const QString path = folder() + QLatin1Char('/') + file;
        const QByteArray before = TestSupport::readAll(path);
        QVERIFY(!before.isEmpty());

        QFile filler(folder() + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(1024, 'f')) == 1024 && filler.flush()) {
        }
        m_app->clearRecords();
        m_log->mark();

        QCOMPARE(m_app->dispatchCommand(request), QStringLiteral(R"({"code":0})"));
        QCOMPARE(TestSupport::readAll(path), before);
        QStringList files = QDir(folder()).entryList(QDir::Files | QDir::Hidden);
        files.sort();
        QCOMPARE(files, QStringList({file, QStringLiteral("filler")}));
        QCOMPARE(m_log->linesWith(QStringLiteral("打印机配置写失败,./%1").arg(file)).size(), 1);
        // Settings still hold until the next start.
        if (file == QLatin1String("PrinterConfig.json"))
            QCOMPARE(m_app->settings.size(), 1);
    }

private:
    static QString folder() { return QCoreApplication::applicationDirPath(); }

    RecordingApp *m_app;
    std::optional<LogCapture> m_log;
};

int main(int argc, char **argv)
{
    // The private copy of the program takes a mount namespace of its own
    // before any thread exists, so its mounts are seen by nobody else.
    if (TestSupport::inHarness() && qEnvironmentVariableIsSet(PrivateAppFolder::MarkerVariable)) {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return 2;
    }
    return runWithRecordingApp<TestFullDisk>(argc, argv);
}

#include "tst_fulldisk.moc"
