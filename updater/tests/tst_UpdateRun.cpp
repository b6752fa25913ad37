#include "common/CoordinationProtocol.h"
#include "tests/support/LogoServer.h"
#include "tests/support/TestSupport.h"

#include <QDate>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <zlib.h>

using Protocol = CoordinationProtocol;

// Whole runs of the built Updater from an installation folder of its own:
// a real update server on loopback, the service played by a socket on the
// coordination port, and a script in the service's place that notes each
// start.
class TestUpdateRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { KORVEL_REQUIRE_HARNESS(); }
    void init();
    void cleanup();

    void checkDecidesWhetherToDownload_data();
    void checkDecidesWhetherToDownload();
    void fallbackOnlyWhenUpdateConfHasNoText_data();
    void fallbackOnlyWhenUpdateConfHasNoText();
    void checksumIsTheComplementOfCrc32_data();
    void checksumIsTheComplementOfCrc32();
    void repeatedAgreementGivesOneDownload();
    void foreignAnswersEndTheRun_data();
    void foreignAnswersEndTheRun();
    void sevenFailedAttemptsEndWithoutService();
    void secondInstanceExitsAtOnce();

private:
    QString updaterFolder() const { return m_root->filePath("Updater"); }
    void writeConf(const QString &fileName, const QByteArray &text);
    QJsonObject conf(quint32 silent) const;
    void offer(quint32 version, const QByteArray &package, quint32 hash, const QString &name = "Viewer",
               const QString &checkPath = "/check?site=4");
    QProcess *startUpdater();
    void runToEnd(QProcess *updater);
    void agreeToEveryRequest(int answersPerRequest);
    int serviceStarts() const;

    static quint32 standardCrc(const QByteArray &bytes);
    QByteArray makePackage(const QString &entry, const QByteArray &content);

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<LogoServer> m_server;
    std::unique_ptr<QUdpSocket> m_service;
    QList<QByteArray> m_requests; // what the service side heard
    std::vector<std::unique_ptr<QProcess>> m_updaters;
    QString m_output; // debug output of the last run
};

void TestUpdateRun::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(!TestSupport::copyProgram(TestSupport::builtProgram("updater/Updater"), updaterFolder()).isEmpty());
    QVERIFY(QDir().mkpath(m_root->filePath("tmp")));
    // The service's place: notes each start.
    const QString service = m_root->filePath("Viewer");
    QVERIFY(TestSupport::writeFile(service, "#!/bin/sh\necho started >> \"$(dirname \"$0\")/starts\"\n"));
    QFile::setPermissions(service, QFile::permissions(service) | QFile::ExeOwner);

    m_server = std::make_unique<LogoServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorText()));
    m_service = std::make_unique<QUdpSocket>();
    QVERIFY(m_service->bind(QHostAddress(QHostAddress::LocalHost), Protocol::ServicePort));
    m_requests.clear();
    connect(m_service.get(), &QUdpSocket::readyRead, this,
            [this] { m_requests += Protocol::takePendingDatagrams(*m_service); });
    m_output.clear();
}

void TestUpdateRun::cleanup()
{
    if (QTest::currentTestFailed())
        qInfo().noquote() << "the updater said:\n" << m_output;
    for (auto &updater : m_updaters) {
        updater->kill();
        updater->waitForFinished();
    }
    m_updaters.clear();
    m_service.reset();
    m_server.reset();
    m_root.reset();
}

void TestUpdateRun::writeConf(const QString &fileName, const QByteArray &text)
{
    QVERIFY(TestSupport::writeFile(updaterFolder() + "/" + fileName, text));
}

QJsonObject TestUpdateRun::conf(quint32 silent) const
{
    return QJsonObject{{"version", "7"}, {"name", "front desk"}, {"updateTime", "2024-01-02"},
                       {"url", m_server->url("/check?site=4")}, {"silent", QString::number(silent)},
                       {"startTime", "300"}, {"device", ""}, {"comment", "kept until rewritten"}};
}

void TestUpdateRun::offer(quint32 version, const QByteArray &package, quint32 hash, const QString &name,
                          const QString &checkPath)
{
    const QJsonObject answer{{"name", name}, {"comment", "c"}, {"url", m_server->url("/package.zip")},
                             {"version", qint64(version)}, {"hash", qint64(hash)}, {"device", "d"}};
    // Anything after a zero byte is not part of the answer.
    m_server->serve(checkPath, QJsonDocument(answer).toJson() + QByteArray("\0garbage", 8));
    m_server->serve("/package.zip", package);
}

QProcess *TestUpdateRun::startUpdater()
{
    auto updater = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The single-instance test keys on the temporary folder.
    environment.insert("TMPDIR", m_root->filePath("tmp"));
    updater->setProcessEnvironment(environment);
    updater->setProcessChannelMode(QProcess::SeparateChannels);
    updater->start(updaterFolder() + "/Updater", QStringList());
    m_updaters.push_back(std::move(updater));
    return m_updaters.back().get();
}

void TestUpdateRun::runToEnd(QProcess *updater)
{
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == QProcess::NotRunning, 60000);
    m_output += QString::fromUtf8(updater->readAllStandardError());
    QCOMPARE(updater->exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater->exitCode(), 0);
}

// The service answers every copy of a request it reads.
void TestUpdateRun::agreeToEveryRequest(int answersPerRequest)
{
    disconnect(m_service.get(), &QUdpSocket::readyRead, this, nullptr);
    connect(m_service.get(), &QUdpSocket::readyRead, this, [this, answersPerRequest] {
        for (const QByteArray &request : Protocol::takePendingDatagrams(*m_service)) {
            m_requests += request;
            const QByteArray answer = Protocol::answer("IsUpdated", Protocol::parse(request).time);
            for (int copy = 0; copy < answersPerRequest; ++copy)
                m_service->writeDatagram(answer, QHostAddress(QHostAddress::LocalHost), Protocol::UpdaterPort);
        }
    });
}

int TestUpdateRun::serviceStarts() const
{
    return TestSupport::readAll(m_root->filePath("starts")).count('\n');
}

quint32 TestUpdateRun::standardCrc(const QByteArray &bytes)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size())));
}

QByteArray TestUpdateRun::makePackage(const QString &entry, const QByteArray &content)
{
    QTemporaryDir folder;
    TestSupport::writeFile(folder.filePath(entry), content);
    QProcess zip;
    zip.setWorkingDirectory(folder.path());
    zip.start("python3", {"-m", "zipfile", "-c", "package.zip", entry});
    if (!zip.waitForFinished(30000) || zip.exitCode() != 0)
        return QByteArray();
    return TestSupport::readAll(folder.filePath("package.zip"));
}

void TestUpdateRun::checkDecidesWhetherToDownload_data()
{
    QTest::addColumn<QJsonValue>("installed");
    QTest::addColumn<QString>("device");
    QTest::addColumn<quint32>("offered");
    QTest::addColumn<QString>("checkPath");
    QTest::addColumn<bool>("downloads");

    QTest::newRow("no device, same version") << QJsonValue("7") << "" << 7u << "/check?site=4" << false;
    QTest::newRow("device 0, number 7 reads as \"7\"") << QJsonValue(7) << "0" << 7u << "/check?site=4" << false;
    QTest::newRow("device 12, lower offer") << QJsonValue("7") << "12" << 6u << "/check?site=4&device=12" << false;
    QTest::newRow("nothing installed, offer 0") << QJsonValue() << "" << 0u << "/check?site=4" << false;
    QTest::newRow("newer offer") << QJsonValue("7") << "" << 8u << "/check?site=4" << true;
}

void TestUpdateRun::checkDecidesWhetherToDownload()
{
    QFETCH(QJsonValue, installed);
    QFETCH(QString, device);
    QFETCH(quint32, offered);
    QFETCH(QString, checkPath);
    QFETCH(bool, downloads);

    QJsonObject object = conf(1);
    object.insert("device", device);
    object.remove("version");
    if (!installed.isNull())
        object.insert("version", installed);
    writeConf("Update.conf", QJsonDocument(object).toJson());
    const QByteArray package = "refused by its checksum";
    offer(offered, package, ~standardCrc(package) + 1, "Viewer", checkPath);

    runToEnd(startUpdater());
    QCOMPARE(m_server->requests(checkPath), 1);
    QCOMPARE(m_server->requests("/package.zip"), downloads ? 1 : 0);
    QCOMPARE(m_output.contains("不需要更新关闭update"), !downloads);
    QVERIFY(m_requests.isEmpty()); // a silent run does not ask the service
}

void TestUpdateRun::fallbackOnlyWhenUpdateConfHasNoText_data()
{
    QTest::addColumn<QByteArray>("updateConf"); // null: no file
    QTest::addColumn<bool>("usesFallback");

    QTest::newRow("Update.conf missing") << QByteArray() << true;
    QTest::newRow("Update.conf empty") << QByteArray("") << true;
    QTest::newRow("zero byte first") << QByteArray("\0{}", 3) << true;
    QTest::newRow("Update.conf not JSON") << QByteArray("{\"url\": ") << false;
}

// The fallback is only ever read; the first accepted package creates
// Update.conf from its values.
void TestUpdateRun::fallbackOnlyWhenUpdateConfHasNoText()
{
    QFETCH(QByteArray, updateConf);
    QFETCH(bool, usesFallback);

    const QByteArray fallback = QJsonDocument(conf(1)).toJson();
    writeConf("vorqconfiginfo.conf", fallback);
    if (!updateConf.isNull())
        writeConf("Update.conf", updateConf);
    const QByteArray package = makePackage("notes.txt", "release notes");
    QVERIFY(!package.isEmpty());
    offer(9, package, ~standardCrc(package));

    runToEnd(startUpdater());
    QCOMPARE(TestSupport::readAll(updaterFolder() + "/vorqconfiginfo.conf"), fallback);
    QCOMPARE(m_server->requests("/check?site=4"), usesFallback ? 1 : 0);
    if (!usesFallback) {
        QVERIFY(m_output.contains("Error:"));
        QCOMPARE(TestSupport::readAll(updaterFolder() + "/Update.conf"), updateConf);
        return;
    }
    QVERIFY(m_output.contains("vorqconfiginfo!!"));
    // Seven keys, all strings, in the library's indented layout; the answer's
    // "comment" and "hash" and the file's own extra keys are not kept.
    const QJsonObject expected{{"version", "9"}, {"name", "front desk"},
                               {"updateTime", QDate::currentDate().toString("yyyy-MM-dd")},
                               {"url", m_server->url("/check?site=4")}, {"silent", "1"},
                               {"startTime", "300"}, {"device", ""}};
    QCOMPARE(TestSupport::readAll(updaterFolder() + "/Update.conf"), QJsonDocument(expected).toJson());
    QCOMPARE(TestSupport::readAll(updaterFolder() + "/notes.txt-new"), QByteArray("release notes"));
    QCOMPARE(serviceStarts(), 0); // silent: the service never stopped
}

void TestUpdateRun::checksumIsTheComplementOfCrc32_data()
{
    QTest::addColumn<bool>("announceStandardCrc");
    QTest::newRow("complement accepted") << false;
    QTest::newRow("standard CRC-32 refused") << true;
}

void TestUpdateRun::checksumIsTheComplementOfCrc32()
{
    QFETCH(bool, announceStandardCrc);

    const QByteArray updateConf = QJsonDocument(conf(1)).toJson();
    writeConf("Update.conf", updateConf);
    const QByteArray package = makePackage("notes.txt", QByteArray(300000, 'n'));
    const quint32 crc = standardCrc(package);
    offer(8, package, announceStandardCrc ? crc : ~crc);

    runToEnd(startUpdater());
    QCOMPARE(m_server->requests("/package.zip"), 1);
    const QString packagePath = updaterFolder() + "/update.zip";
    const QByteArray log = TestSupport::readAll(updaterFolder() + "/Updatalog.txt");
    if (announceStandardCrc) {
        const QString entry = packagePath + "hash error:" + QString::number(~crc) + " | " + QString::number(crc);
        QVERIFY2(log.endsWith(entry.toUtf8()), log.constData());
        QCOMPARE(TestSupport::readAll(packagePath), package);
        QCOMPARE(TestSupport::readAll(updaterFolder() + "/Update.conf"), updateConf);
        QVERIFY(!QFile::exists(updaterFolder() + "/notes.txt-new"));
    } else {
        QVERIFY2(log.contains("dir1:" + packagePath.toUtf8() + "\ndir2:" + updaterFolder().toUtf8()), log.constData());
        QVERIFY(log.endsWith("================Viewer"));
        QVERIFY(!QFile::exists(packagePath));
        QCOMPARE(TestSupport::readAll(updaterFolder() + "/notes.txt-new"), QByteArray(300000, 'n'));
        QCOMPARE(QJsonDocument::fromJson(TestSupport::readAll(updaterFolder() + "/Update.conf"))["version"],
                 QJsonValue("8"));
    }
    QCOMPARE(serviceStarts(), 0);
}

// The service answers both copies of the request, and each answer comes
// twice: four agreements, one package request, one start of the service.
void TestUpdateRun::repeatedAgreementGivesOneDownload()
{
    writeConf("Update.conf", QJsonDocument(conf(0)).toJson());
    const QByteArray package = makePackage("notes.txt", "release notes");
    offer(8, package, ~standardCrc(package));
    agreeToEveryRequest(2);

    runToEnd(startUpdater());
    QCOMPARE(m_requests.size(), 2);
    QCOMPARE(m_requests.at(0), m_requests.at(1));
    QCOMPARE(Protocol::parse(m_requests.at(0)).query, QString("IsUpdated"));
    QCOMPARE(m_output.count("===== 发送消息"), 2);
    QCOMPARE(m_server->requests("/package.zip"), 1);
    QCOMPARE(TestSupport::readAll(updaterFolder() + "/notes.txt-new"), QByteArray("release notes"));
    // Not the service's own package: the service, which ended to agree, is
    // started again at once.
    QTRY_COMPARE(serviceStarts(), 1);
}

void TestUpdateRun::foreignAnswersEndTheRun_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<bool>("firstFromLan");
    QTest::addColumn<bool>("downloads");

    QTest::newRow("wrong check") << Protocol::answer("IsUpdated", "123") << false << false;
    QTest::newRow("no check (service started with quit)") << Protocol::quitRequest("IsUpdated") << false << false;
    QTest::newRow("cleaner's close request") << Protocol::request("CloseApp", "5") << false << false;
    QTest::newRow("not JSON") << QByteArray("IsUpdated") << false << false;
    // Dropped unheard; the real answer that follows still counts.
    QTest::newRow("from a LAN address") << Protocol::answer("IsUpdated", "123") << true << true;
}

void TestUpdateRun::foreignAnswersEndTheRun()
{
    QFETCH(QByteArray, first);
    QFETCH(bool, firstFromLan);
    QFETCH(bool, downloads);

    writeConf("Update.conf", QJsonDocument(conf(0)).toJson());
    const QByteArray package = "refused by its checksum";
    offer(8, package, ~standardCrc(package) + 1);
    QUdpSocket lan;
    if (firstFromLan)
        QVERIFY(lan.bind(QHostAddress(qEnvironmentVariable("KORVEL_SVC_ADDR")), 0));

    QProcess *updater = startUpdater();
    QTRY_VERIFY_WITH_TIMEOUT(!m_requests.isEmpty(), 30000);
    const QString token = Protocol::parse(m_requests.first()).time;
    QUdpSocket &sender = firstFromLan ? lan : *m_service;
    sender.writeDatagram(first, QHostAddress(QHostAddress::LocalHost), Protocol::UpdaterPort);
    if (firstFromLan)
        m_service->writeDatagram(Protocol::answer("IsUpdated", token), QHostAddress(QHostAddress::LocalHost),
                                 Protocol::UpdaterPort);

    runToEnd(updater);
    QCOMPARE(m_server->requests("/package.zip"), downloads ? 1 : 0);
    QCOMPARE(m_output.contains("==== 校验错误 " + token), !downloads);
    QCOMPARE(serviceStarts(), 0);
}

void TestUpdateRun::sevenFailedAttemptsEndWithoutService()
{
    writeConf("Update.conf", QJsonDocument(conf(0)).toJson());
    offer(8, QByteArray(), 0);
    m_server->serve("/package.zip", "gone", 404);
    agreeToEveryRequest(1);

    runToEnd(startUpdater());
    QCOMPARE(m_server->requests("/package.zip"), 7);
    QVERIFY(m_output.contains("下载6次失败后关闭: 6"));
    QVERIFY(!m_output.contains("下载6次失败后关闭: 7"));
    QVERIFY(!QFile::exists(updaterFolder() + "/update.zip"));
    QCOMPARE(serviceStarts(), 0);
}

void TestUpdateRun::secondInstanceExitsAtOnce()
{
    writeConf("Update.conf", QJsonDocument(conf(0)).toJson());
    m_server->serve("/check?site=4", "no answer today"); // the first run waits for its watchdog

    QProcess *first = startUpdater();
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requests("/check?site=4"), 1, 30000);
    QProcess *second = startUpdater();
    runToEnd(second);
    QCOMPARE(first->state(), QProcess::Running);
    QCOMPARE(m_server->requests("/check?site=4"), 1);
    QVERIFY(m_requests.isEmpty());
}

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "tst_UpdateRun.moc"
