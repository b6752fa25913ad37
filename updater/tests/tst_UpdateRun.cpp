#include "common/CoordinationProtocol.h"
#include "tests/support/LogoServer.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"
#include "updater/UpdateLog.h"
#include "updater/UpdateRun.h"
#include "updater/tests/PackageMaker.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <zlib.h>

using Protocol = CoordinationProtocol;

// Runs of the updater in this process, from an installation folder of its
// own: a real update server on loopback, the service's coordination played by
// a socket on its port, and a script in the service program's place that
// notes each start.
class TestUpdateRun : public QObject
{
    Q_OBJECT

public:
    // How the played service answers a request.
    enum Answer { Agrees, AgreesTwice, Refuses, Silent, ForeignCheck, ForeignFromLan };
    Q_ENUM(Answer)

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
    void serviceClosesOnlyForAReadyPackage_data();
    void serviceClosesOnlyForAReadyPackage();
    void downloadIsBounded_data();
    void downloadIsBounded();
    void sevenFailedAttemptsEndWithoutService();
    void pendingUpdateIsInstalledWithoutDownload();
    void secondInstanceExitsAtOnce();

private:
    QString updaterFolder() const { return m_root->filePath("Updater"); }
    QString service(const QString &name) const { return m_root->filePath(name); }
    void writeConf(const QString &fileName, const QByteArray &text);
    QJsonObject conf(quint32 silent) const;
    QJsonObject readConf() const;
    void offer(quint32 version, const QByteArray &package, quint32 hash, const QString &name = "Korvel",
               const QString &checkPath = "/check?site=4");
    void playService(Answer answer);
    // Runs to the end; the update log is complete afterwards.
    bool run(UpdateRun::Settings settings = {});
    int serviceStarts() const;

    static quint32 standardCrc(const QByteArray &bytes);
    static QByteArray makePackage(const QString &entry, const QByteArray &content);
    // A service program that notes its starts, with a release mark.
    static QByteArray serviceScript(const QByteArray &release);

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<LogoServer> m_server;
    std::unique_ptr<QUdpSocket> m_service;
    std::unique_ptr<QUdpSocket> m_lan;
    QList<QByteArray> m_requests; // what the service side heard
    QString m_log;                 // the update log after the run
    QList<bool> m_shown;           // the progress window's changes
};

void TestUpdateRun::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(updaterFolder()));
    QVERIFY(TestSupport::writeFile(service("Korvel"), serviceScript("release 7")));
    QFile::setPermissions(service("Korvel"), QFile::permissions(service("Korvel")) | QFile::ExeOwner);

    m_server = std::make_unique<LogoServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->errorText()));
    m_service = std::make_unique<QUdpSocket>();
    QVERIFY(m_service->bind(QHostAddress(QHostAddress::LocalHost), Protocol::ServicePort));
    m_requests.clear();
    m_log.clear();
    m_shown.clear();
    playService(Silent);
}

void TestUpdateRun::cleanup()
{
    if (QTest::currentTestFailed())
        qInfo().noquote() << "the update log:\n" << m_log;
    m_lan.reset();
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

QJsonObject TestUpdateRun::readConf() const
{
    return QJsonDocument::fromJson(TestSupport::readAll(updaterFolder() + "/Update.conf")).object();
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

void TestUpdateRun::playService(Answer answer)
{
    disconnect(m_service.get(), &QUdpSocket::readyRead, this, nullptr);
    connect(m_service.get(), &QUdpSocket::readyRead, this, [this, answer] {
        for (const QByteArray &request : Protocol::takePendingDatagrams(*m_service)) {
            m_requests += request;
            const Protocol::Message message = Protocol::parse(request);
            auto send = [this](QUdpSocket &socket, const QByteArray &text) {
                socket.writeDatagram(text, QHostAddress(QHostAddress::LocalHost), Protocol::UpdaterPort);
            };
            switch (answer) {
            case Agrees:
                send(*m_service, Protocol::answer(message.query, message.time));
                break;
            case AgreesTwice: // both copies answered, each twice
                for (int copy = 0; copy < 2; ++copy)
                    send(*m_service, Protocol::answer(message.query, message.time));
                break;
            case Refuses:
                send(*m_service, Protocol::answer("NoUpdated", message.time));
                break;
            case ForeignCheck:
                send(*m_service, Protocol::answer(message.query, "123"));
                break;
            case ForeignFromLan: // dropped unheard; the real answer follows
                m_lan = std::make_unique<QUdpSocket>();
                m_lan->bind(QHostAddress(qEnvironmentVariable("KORVEL_SVC_ADDR")), 0);
                send(*m_lan, Protocol::answer(message.query, "123"));
                send(*m_service, Protocol::answer(message.query, message.time));
                break;
            case Silent:
                break;
            }
        }
    });
}

bool TestUpdateRun::run(UpdateRun::Settings settings)
{
    settings.updaterFolder = updaterFolder();
    settings.closeRequestDelayMs = 50;
    settings.answerWaitMs = qMin(settings.answerWaitMs, 2000);
    ManualClock clock;
    bool installed = false;
    {
        CBackupFiles log;
        log.setLogDirectory(updaterFolder());
        log.start();
        UpdateRun run(settings, clock, log);
        connect(&run, &UpdateRun::showProgress, this, [this](bool shown) { m_shown << shown; });
        QSignalSpy finished(&run, &UpdateRun::finished);
        run.start();
        if (finished.isEmpty() && !finished.wait(60000))
            return false;
        installed = finished.first().first().toBool();
    }
    m_log = QString::fromUtf8(TestSupport::readAll(updaterFolder() + "/Updatalog.txt"));
    return installed;
}

int TestUpdateRun::serviceStarts() const
{
    return TestSupport::readAll(service("starts")).count('\n');
}

QByteArray TestUpdateRun::serviceScript(const QByteArray &release)
{
    return "#!/bin/sh\n# " + release + "\necho started >> \"$(dirname \"$0\")/starts\"\n";
}

quint32 TestUpdateRun::standardCrc(const QByteArray &bytes)
{
    return quint32(crc32(0, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size())));
}

QByteArray TestUpdateRun::makePackage(const QString &entry, const QByteArray &content)
{
    QTemporaryDir folder;
    if (!PackageMaker::make(folder.filePath("package.zip"), {PackageMaker::file(entry, content)}))
        return QByteArray();
    return TestSupport::readAll(folder.filePath("package.zip"));
}

void TestUpdateRun::checkDecidesWhetherToDownload_data()
{
    QTest::addColumn<QJsonValue>("installed");
    QTest::addColumn<QString>("device");
    QTest::addColumn<quint32>("offered");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("checkPath");
    QTest::addColumn<bool>("downloads");

    QTest::newRow("no device, same version") << QJsonValue("7") << "" << 7u << "Korvel" << "/check?site=4" << false;
    QTest::newRow("device 0, number 7 reads as \"7\"") << QJsonValue(7) << "0" << 7u << "Korvel" << "/check?site=4" << false;
    QTest::newRow("device 12, lower offer") << QJsonValue("7") << "12" << 6u << "Korvel" << "/check?site=4&device=12" << false;
    QTest::newRow("nothing installed, offer 0") << QJsonValue() << "" << 0u << "Korvel" << "/check?site=4" << false;
    QTest::newRow("newer offer") << QJsonValue("7") << "" << 8u << "Korvel" << "/check?site=4" << true;
    // The answer names no program to install or start but the service.
    QTest::newRow("newer offer for another program") << QJsonValue("7") << "" << 8u << "Selvane" << "/check?site=4" << false;
}

void TestUpdateRun::checkDecidesWhetherToDownload()
{
    QFETCH(QJsonValue, installed);
    QFETCH(QString, device);
    QFETCH(quint32, offered);
    QFETCH(QString, name);
    QFETCH(QString, checkPath);
    QFETCH(bool, downloads);

    QJsonObject object = conf(1);
    object.insert("device", device);
    object.remove("version");
    if (!installed.isNull())
        object.insert("version", installed);
    writeConf("Update.conf", QJsonDocument(object).toJson());
    const QByteArray package = "refused by its checksum";
    offer(offered, package, ~standardCrc(package) + 1, name, checkPath);

    QVERIFY(!run());
    QCOMPARE(m_server->requests(checkPath), 1);
    QCOMPARE(m_server->requests("/package.zip"), downloads ? 1 : 0);
    QVERIFY(m_requests.isEmpty()); // the service was never asked to end
    QCOMPARE(serviceStarts(), 0);
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

// The fallback is only ever read; the first installed package creates
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
    playService(Agrees);

    QCOMPARE(run(), usesFallback);
    QCOMPARE(TestSupport::readAll(updaterFolder() + "/vorqconfiginfo.conf"), fallback);
    QCOMPARE(m_server->requests("/check?site=4"), usesFallback ? 1 : 0);
    if (!usesFallback) {
        QVERIFY(m_log.contains("update check failed"));
        QCOMPARE(TestSupport::readAll(updaterFolder() + "/Update.conf"), updateConf);
        return;
    }
    // Seven keys, all strings, in the library's indented layout; the answer's
    // "comment" and "hash" and the file's own extra keys are not kept.
    const QJsonObject expected{{"version", "9"}, {"name", "front desk"}, {"updateTime", "2026-01-15"},
                               {"url", m_server->url("/check?site=4")}, {"silent", "1"},
                               {"startTime", "300"}, {"device", ""}};
    QCOMPARE(TestSupport::readAll(updaterFolder() + "/Update.conf"), QJsonDocument(expected).toJson());
    QCOMPARE(TestSupport::readAll(service("notes.txt")), QByteArray("release notes"));
    QCOMPARE(Protocol::parse(m_requests.value(0)).query, QString("CloseApp"));
    QTRY_COMPARE(serviceStarts(), 1);
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
    playService(Agrees);

    QCOMPARE(run(), !announceStandardCrc);
    QCOMPARE(m_server->requests("/package.zip"), 1);
    const QString packagePath = updaterFolder() + "/update.zip";
    if (announceStandardCrc) {
        const QString entry = packagePath + "hash error:" + QString::number(~crc) + " | " + QString::number(crc);
        QVERIFY(m_log.endsWith(entry));
        QCOMPARE(TestSupport::readAll(updaterFolder() + "/Update.conf"), updateConf);
        QVERIFY(!QFile::exists(service("notes.txt")));
        QVERIFY(m_requests.isEmpty());
        QCOMPARE(serviceStarts(), 0);
    } else {
        QVERIFY(m_log.contains("dir1:" + packagePath + "\ndir2:" + updaterFolder() + "/staging"));
        QVERIFY(m_log.contains("================Korvel"));
        QVERIFY(!QFile::exists(packagePath));
        QCOMPARE(TestSupport::readAll(service("notes.txt")), QByteArray(300000, 'n'));
        QCOMPARE(readConf()["version"], QJsonValue("8"));
        QTRY_COMPARE(serviceStarts(), 1);
    }
}

void TestUpdateRun::serviceClosesOnlyForAReadyPackage_data()
{
    QTest::addColumn<quint32>("silent");
    QTest::addColumn<Answer>("answer");
    QTest::addColumn<bool>("damaged"); // right checksum, not a zip
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("logged");

    QTest::newRow("silent") << 1u << Agrees << false << true << "installed: Korvel";
    // Both copies answered twice: one installation, one start.
    QTest::newRow("asked, repeated answers") << 0u << AgreesTwice << false << true << "installed: Korvel";
    QTest::newRow("asked, answer from the LAN ignored") << 0u << ForeignFromLan << false << true << "installed: Korvel";
    // A service that does not run cannot answer; its files are free.
    QTest::newRow("no answer, service not running") << 1u << Silent << false << true << "does not run";
    QTest::newRow("refused by the service") << 0u << Refuses << false << false << "the service refused";
    QTest::newRow("answer with another check") << 1u << ForeignCheck << false << false << "not given to this run";
    QTest::newRow("unpacking fails") << 1u << Agrees << true << false << "unpacking failed";
}

// Up to the ready package the service is left alone; once asked to end, it
// is started again on every road, once.
void TestUpdateRun::serviceClosesOnlyForAReadyPackage()
{
    QFETCH(quint32, silent);
    QFETCH(Answer, answer);
    QFETCH(bool, damaged);
    QFETCH(bool, installed);
    QFETCH(QString, logged);

    writeConf("Update.conf", QJsonDocument(conf(silent)).toJson());
    const QByteArray package = damaged ? QByteArray("PK\3\4 not a zip") : makePackage("Korvel", serviceScript("release 8"));
    offer(8, package, ~standardCrc(package));
    playService(answer);

    QCOMPARE(run(), installed);
    QVERIFY2(m_log.contains(logged), qPrintable(logged));
    QCOMPARE(m_server->requests("/package.zip"), 1);
    const QList<bool> shown = silent == 0 ? QList<bool>{true, false} : QList<bool>();
    QCOMPARE(m_shown, shown);
    if (damaged) {
        QVERIFY(m_requests.isEmpty());
        QVERIFY(!QFileInfo::exists(updaterFolder() + "/staging"));
    } else {
        QCOMPARE(m_requests.size(), 2);
        QCOMPARE(Protocol::parse(m_requests.first()).query, QString(silent ? "CloseApp" : "IsUpdated"));
    }
    QCOMPARE(TestSupport::readAll(service("Korvel")).contains("release 8"), installed);
    QCOMPARE(readConf()["version"], QJsonValue(installed ? "8" : "7"));
    if (installed)
        QCOMPARE(TestSupport::readAll(updaterFolder() + "/Korvel-old"), serviceScript("release 7"));
    QTRY_COMPARE(serviceStarts(), damaged ? 0 : 1);
    QTest::qWait(200);
    QCOMPARE(serviceStarts(), damaged ? 0 : 1);
}

void TestUpdateRun::downloadIsBounded_data()
{
    QTest::addColumn<bool>("endless");
    QTest::addColumn<qint64>("limit");
    QTest::addColumn<qint64>("margin");
    QTest::addColumn<QString>("logged");

    QTest::newRow("larger than the limit") << false << qint64(100000) << qint64(0) << "larger than 100000 bytes";
    QTest::newRow("never ends") << true << qint64(3000000) << qint64(0) << "larger than 3000000 bytes";
    QTest::newRow("disk would fill") << true << qint64(1) << qint64(1) << "bytes free";
}

void TestUpdateRun::downloadIsBounded()
{
    QFETCH(bool, endless);
    QFETCH(qint64, limit);
    QFETCH(qint64, margin);
    QFETCH(QString, logged);

    writeConf("Update.conf", QJsonDocument(conf(1)).toJson());
    const QByteArray package(200000, 'p');
    offer(8, package, ~standardCrc(package));
    if (endless)
        m_server->serveEndless("/package.zip");
    UpdateRun::Settings settings;
    settings.maxPackageBytes = limit;
    if (margin > 0) { // more than the disk has free
        settings.maxPackageBytes = qint64(1) << 50;
        settings.freeSpaceMarginBytes = qint64(1) << 50;
    }
    QVERIFY(!run(settings));
    QVERIFY2(m_log.contains(logged), qPrintable(logged));
    QCOMPARE(m_server->requests("/package.zip"), 1); // a bound is no reason to try again
    QVERIFY(!QFile::exists(updaterFolder() + "/update.zip"));
    QVERIFY(m_requests.isEmpty());
}

void TestUpdateRun::sevenFailedAttemptsEndWithoutService()
{
    writeConf("Update.conf", QJsonDocument(conf(0)).toJson());
    offer(8, QByteArray(), 0);
    m_server->serve("/package.zip", "gone", 404);

    QVERIFY(!run());
    QCOMPARE(m_server->requests("/package.zip"), 7);
    QVERIFY(m_log.contains("download failed 7 times"));
    QVERIFY(!QFile::exists(updaterFolder() + "/update.zip"));
    QVERIFY(m_requests.isEmpty());
    QCOMPARE(serviceStarts(), 0);
}

// What a killed run left: a sealed set is installed without asking the
// update server; a package file and an unsealed staging folder go.
void TestUpdateRun::pendingUpdateIsInstalledWithoutDownload()
{
    writeConf("Update.conf", QJsonDocument(conf(1)).toJson());
    QVERIFY(TestSupport::writeFile(updaterFolder() + "/update.zip", "left over"));
    QVERIFY(QDir().mkpath(updaterFolder() + "/staging"));
    QVERIFY(TestSupport::writeFile(updaterFolder() + "/staging/Korvel-new", "half"));
    QVERIFY(!run()); // the server offers nothing
    QVERIFY(!QFile::exists(updaterFolder() + "/update.zip"));
    QVERIFY(!QFileInfo::exists(updaterFolder() + "/staging"));

    // A sealed set that is not newer than what is installed goes without a
    // word to the service (a run killed after recording the version).
    StagedPackage staged(updaterFolder());
    QVERIFY(staged.prepare());
    QVERIFY(TestSupport::writeFile(updaterFolder() + "/staging/Korvel-new", serviceScript("release 7")));
    QString error;
    QVERIFY(staged.seal(7, &error));
    QVERIFY(!run());
    QVERIFY(m_requests.isEmpty());
    QVERIFY(!staged.isPending());

    QVERIFY(staged.prepare());
    QVERIFY(TestSupport::writeFile(updaterFolder() + "/staging/Korvel-new", serviceScript("release 9")));
    QVERIFY(staged.seal(9, &error));
    const int checks = m_server->requests("/check?site=4");
    playService(Agrees);

    QVERIFY(run());
    QCOMPARE(m_server->requests("/check?site=4"), checks);
    QCOMPARE(TestSupport::readAll(service("Korvel")), serviceScript("release 9"));
    QCOMPARE(readConf()["version"], QJsonValue("9"));
    QTRY_COMPARE(serviceStarts(), 1);
}

// The program itself: a second Updater started while one runs exits with
// code 0 and neither asks the server nor sends a datagram.
void TestUpdateRun::secondInstanceExitsAtOnce()
{
    QVERIFY(!TestSupport::copyProgram(TestSupport::builtProgram("updater/Updater"), updaterFolder()).isEmpty());
    QVERIFY(QDir().mkpath(m_root->filePath("tmp")));
    // A server that never answers keeps the first run checking.
    QTcpServer mute;
    QVERIFY(mute.listen(QHostAddress(QHostAddress::LocalHost)));
    QJsonObject object = conf(0);
    object.insert("url", QString("http://127.0.0.1:%1/check").arg(mute.serverPort()));
    writeConf("Update.conf", QJsonDocument(object).toJson());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The single-instance test keys on the temporary folder.
    environment.insert("TMPDIR", m_root->filePath("tmp"));
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess first;
    QProcess second;
    first.setProcessEnvironment(environment);
    second.setProcessEnvironment(environment);
    first.start(updaterFolder() + "/Updater", QStringList());
    QTRY_VERIFY_WITH_TIMEOUT(mute.hasPendingConnections(), 30000);
    second.start(updaterFolder() + "/Updater", QStringList());
    QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 30000);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.state(), QProcess::Running);
    mute.nextPendingConnection();
    QTest::qWait(100);
    QVERIFY(!mute.hasPendingConnections());
    QVERIFY(m_requests.isEmpty());
    first.kill();
    first.waitForFinished();
}

QTEST_GUILESS_MAIN(TestUpdateRun)
#include "tst_UpdateRun.moc"
