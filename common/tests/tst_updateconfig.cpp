#include "common/UpdateConfig.h"
#include "tests/support/TestSupport.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

// Update.conf as the updater and the service read and write it.
class TestUpdateConfig : public QObject
{
    Q_OBJECT

private slots:
    void readsLeniently_data();
    void readsLeniently();
    void writesSevenStringKeys();
    void failedWriteKeepsTheFile();
    void startDelayIsBoundedWellInsideTheRun_data();
    void startDelayIsBoundedWellInsideTheRun();
};

void TestUpdateConfig::readsLeniently_data()
{
    QTest::addColumn<QByteArray>("file"); // null: no file
    QTest::addColumn<quint32>("version");
    QTest::addColumn<quint32>("startTime");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("name");

    QTest::newRow("strings") << QByteArray(R"({"version":"7","startTime":"5000","device":"12"})") << 7u << 5000u
                             << "12" << "";
    QTest::newRow("numbers") << QByteArray(R"({"version":7,"startTime":5000,"device":12})") << 7u << 5000u << "12"
                             << "";
    QTest::newRow("not numbers") << QByteArray(R"({"version":"7a","startTime":-1,"device":true})") << 0u << 0u << ""
                                 << "";
    QTest::newRow("beyond 32 bits") << QByteArray(R"({"version":"4294967296","startTime":4294967295})") << 0u
                                    << 4294967295u << "" << "";
    QTest::newRow("up to the zero byte") << QByteArray("{\"version\":\"3\"}\0{\"version\":4", 28) << 3u << 0u << ""
                                         << "";
    QTest::newRow("one byte per character") << QByteArray("{\"name\":\"caf\xe9\"}") << 0u << 0u << "" << "caf\u00e9";
    QTest::newRow("UTF-8 as written") << QByteArray("{\"name\":\"caf\xc3\xa9\"}") << 0u << 0u << "" << "caf\u00e9";
    QTest::newRow("not JSON") << QByteArray("{\"version\":") << 0u << 0u << "" << "";
    QTest::newRow("no file") << QByteArray() << 0u << 0u << "" << "";
}

void TestUpdateConfig::readsLeniently()
{
    QFETCH(QByteArray, file);
    QTemporaryDir dir;
    const QString path = dir.filePath("Update.conf");
    if (!file.isNull())
        QVERIFY(TestSupport::writeFile(path, file));

    const UpdateConfig config = UpdateConfig::fromObject(UpdateConfig::readObject(path));
    QTEST(config.version, "version");
    QTEST(config.startTime, "startTime");
    QTEST(config.device, "device");
    QTEST(config.name, "name");
}

void TestUpdateConfig::writesSevenStringKeys()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Update.conf");
    QVERIFY(TestSupport::writeFile(path, R"({"comment":"gone","hash":"1"})"));
    UpdateConfig config;
    config.version = 8;
    config.name = "front desk";
    config.updateTime = "2024-03-05";
    config.url = "http://127.0.0.1/check?a=1";
    config.silent = 1;
    config.startTime = 300;
    QVERIFY(UpdateConfig::write(path, config.toObject()));

    QCOMPARE(TestSupport::readAll(path), QByteArray("{\n"
                                                   "    \"device\": \"\",\n"
                                                   "    \"name\": \"front desk\",\n"
                                                   "    \"silent\": \"1\",\n"
                                                   "    \"startTime\": \"300\",\n"
                                                   "    \"updateTime\": \"2024-03-05\",\n"
                                                   "    \"url\": \"http://127.0.0.1/check?a=1\",\n"
                                                   "    \"version\": \"8\"\n"
                                                   "}\n"));
}

void TestUpdateConfig::failedWriteKeepsTheFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Update.conf");
    QVERIFY(TestSupport::writeFile(path, R"({"version":"3"})"));
    QVERIFY(TestSupport::makeUnwritable(dir.path()));
    QString error;
    const bool written = UpdateConfig::write(path, UpdateConfig().toObject(), &error);
    QVERIFY(TestSupport::makeWritable(dir.path()));
    QVERIFY(!written);
    QVERIFY(!error.isEmpty());
    QCOMPARE(TestSupport::readAll(path), QByteArray(R"({"version":"3"})"));
}

void TestUpdateConfig::startDelayIsBoundedWellInsideTheRun_data()
{
    QTest::addColumn<quint32>("startTime");
    QTest::addColumn<quint32>("delay");
    QTest::newRow("0") << 0u << 200u;
    QTest::newRow("199") << 199u << 200u;
    QTest::newRow("200") << 200u << 200u;
    QTest::newRow("5000") << 5000u << 5000u;
    // Above the updater's 480 s run, as an "UpdateConfig" command may store.
    QTest::newRow("600000") << 600000u << 30000u;
    QTest::newRow("largest") << 4294967295u << 30000u;
}

void TestUpdateConfig::startDelayIsBoundedWellInsideTheRun()
{
    QFETCH(quint32, startTime);
    QFETCH(quint32, delay);
    QCOMPARE(UpdateConfig::startDelayMs(startTime), delay);
}

QTEST_GUILESS_MAIN(TestUpdateConfig)
#include "tst_updateconfig.moc"
