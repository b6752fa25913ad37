#include "common/PrinterJson.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

class TestPrinterJson : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void roundTripIsIndentedAndSorted();
    void read_data();
    void read();
    void namesResolveAgainstApplicationFolder();
    void writeReplacesWholeFile();
    void failedWriteIsReported();
    void fullFileSystemKeepsTheOldFile();

private:
    void writeRaw(const QString &name, const QByteArray &bytes);

    QTemporaryDir *m_appDir = nullptr;
};

void TestPrinterJson::init()
{
    m_appDir = new QTemporaryDir;
    QVERIFY(m_appDir->isValid());
}

void TestPrinterJson::cleanup()
{
    delete m_appDir;
}

void TestPrinterJson::writeRaw(const QString &name, const QByteArray &bytes)
{
    QFile file(m_appDir->path() + "/" + name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void TestPrinterJson::roundTripIsIndentedAndSorted()
{
    CPrinterJson store(m_appDir->path());
    QJsonObject object{{"Msg", "Settings"},
                       {"data", QJsonArray{QJsonObject{{"Name", "收银台"}, {"Width", 58}, {"Height", 0}}}}};
    QVERIFY(store.writeJson(object, "./PrinterConfig.json"));
    QCOMPARE(store.readJson("./PrinterConfig.json"), object);

    const QByteArray expected = "{\n"
                                "    \"Msg\": \"Settings\",\n"
                                "    \"data\": [\n"
                                "        {\n"
                                "            \"Height\": 0,\n"
                                "            \"Name\": \"收银台\",\n"
                                "            \"Width\": 58\n"
                                "        }\n"
                                "    ]\n"
                                "}\n";
    QCOMPARE(TestSupport::readAll(m_appDir->path() + "/PrinterConfig.json"), expected);
}

void TestPrinterJson::read_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QJsonObject>("expected");

    QTest::newRow("object") << QByteArray(R"({"a":1})") << QJsonObject{{"a", 1}};
    QTest::newRow("cut at the first zero byte") << QByteArray("{\"a\":\"x\"}\0garbage", 17) << QJsonObject{{"a", "x"}};
    QTest::newRow("zero byte inside the object") << QByteArray("{\"a\":\0\"x\"}", 10) << QJsonObject();
    QTest::newRow("array at top level") << QByteArray(R"([{"data":[]}])") << QJsonObject();
    QTest::newRow("empty file") << QByteArray() << QJsonObject();
    QTest::newRow("not JSON") << QByteArray("Settings=1") << QJsonObject();
    QTest::newRow("Chinese text") << QByteArray(R"({"room":"一楼大厅"})") << QJsonObject{{"room", "一楼大厅"}};
}

void TestPrinterJson::read()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QJsonObject, expected);
    writeRaw("RoomArea.json", bytes);
    QCOMPARE(CPrinterJson(m_appDir->path()).readJson("./RoomArea.json"), expected);
}

void TestPrinterJson::namesResolveAgainstApplicationFolder()
{
    QTemporaryDir elsewhere;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(elsewhere.path());

    CPrinterJson store(m_appDir->path());
    QVERIFY(QDir(m_appDir->path()).mkdir("Updater"));
    const bool written = store.writeJson(QJsonObject{{"version", "1.0.0"}}, "./Updater/Update.conf");
    const QJsonObject read = store.readJson("./Updater/Update.conf");
    QDir::setCurrent(previous);

    QVERIFY(written);
    QCOMPARE(read.value("version").toString(), QString("1.0.0"));
    QVERIFY(QFile::exists(m_appDir->path() + "/Updater/Update.conf"));
    QVERIFY(!QFile::exists(elsewhere.path() + "/Updater/Update.conf"));
}

void TestPrinterJson::writeReplacesWholeFile()
{
    writeRaw("subtitle.conf", QByteArray(4096, ' ') + "{}");
    CPrinterJson store(m_appDir->path());
    QVERIFY(store.writeJson(QJsonObject{{"k", "v"}}, "./subtitle.conf"));
    QCOMPARE(TestSupport::readAll(m_appDir->path() + "/subtitle.conf"), QByteArray("{\n    \"k\": \"v\"\n}\n"));
}

void TestPrinterJson::failedWriteIsReported()
{
    // A folder in the file's place cannot be replaced, even by root.
    QVERIFY(QDir(m_appDir->path()).mkdir("PrinterConfig.json"));
    CPrinterJson store(m_appDir->path());
    QString error;
    QVERIFY(!store.writeJson(QJsonObject{{"data", QJsonArray()}}, "./PrinterConfig.json", &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(QFileInfo(m_appDir->path() + "/PrinterConfig.json").isDir());
    QCOMPARE(QDir(m_appDir->path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

// On a full file system (an 8 KiB tmpfs in a mount namespace of its own) a
// write that does not fit fails, says so, and leaves the old file byte for
// byte with no temporary file beside it. This program writes inside the
// namespace, started again with --write.
void TestPrinterJson::fullFileSystemKeepsTheOldFile()
{
    if (QStandardPaths::findExecutable("unshare").isEmpty() || QStandardPaths::findExecutable("mount").isEmpty())
        QSKIP("needs unshare and mount");
    const QString dir = m_appDir->path();
    QVERIFY(QDir(dir).mkdir("mnt"));
    const QString script = QStringLiteral(
        "mount -t tmpfs -o size=8k tmpfs \"$1/mnt\" || exit 90\n"
        "\"$2\" --write \"$1/mnt\" 1000 || exit 91\n"
        "cp \"$1/mnt/store.json\" \"$1/before.json\"\n"
        "\"$2\" --write \"$1/mnt\" 6000 2>\"$1/error.txt\"; echo $? >\"$1/status\"\n"
        "cp \"$1/mnt/store.json\" \"$1/after.json\"\n"
        "ls -A \"$1/mnt\" >\"$1/listing\"\n");
    QProcess process;
    process.start("unshare", {"--mount", "--propagation", "private", "sh", "-c", script, "sh", dir,
                              QCoreApplication::applicationFilePath()});
    QVERIFY(process.waitForFinished(30000));
    if (process.exitCode() == 90 || process.exitStatus() != QProcess::NormalExit)
        QSKIP("cannot mount a tmpfs here (needs root)");
    QCOMPARE(process.exitCode(), 0);

    QCOMPARE(TestSupport::readAll(dir + "/status").trimmed(), QByteArray("1"));
    QVERIFY(!TestSupport::readAll(dir + "/error.txt").trimmed().isEmpty());
    const QByteArray before = TestSupport::readAll(dir + "/before.json");
    QVERIFY(before.size() > 1000);
    QCOMPARE(TestSupport::readAll(dir + "/after.json"), before);
    QCOMPARE(TestSupport::readAll(dir + "/listing").trimmed(), QByteArray("store.json"));
}

// --write FOLDER SIZE: writes {"data": SIZE characters} to FOLDER/store.json;
// status 1 and the reason on stderr when that fails.
static int writeStore(const char *folder, const char *size)
{
    QString error;
    const QJsonObject object{{"data", QString(QByteArray(size).toInt(), QLatin1Char('x'))}};
    if (CPrinterJson(QString::fromLocal8Bit(folder)).writeJson(object, "./store.json", &error))
        return 0;
    fprintf(stderr, "%s\n", qPrintable(error));
    return 1;
}

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--write") == 0)
        return writeStore(argv[2], argv[3]);
    QCoreApplication app(argc, argv);
    TestPrinterJson test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_printerjson.moc"
