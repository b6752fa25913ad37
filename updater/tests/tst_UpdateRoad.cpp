#include "tests/support/LogoServer.h"
#include "updater/tests/PackageMaker.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

// The whole road of a silent update with the real programs: the service
// starts the updater, which fetches a package holding a new service and a
// new updater, has the service close, installs, and starts it again; the
// restarted service puts the new updater in place once the updater ended.
class TestUpdateRoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup();
    void silentUpdateReplacesAndRestartsTheService();

private:
    QByteArray postToService(const QByteArray &body);
    int serviceStarts() const;
    int runningPrograms() const;

    QTemporaryDir m_dir;
    QString m_service;
    QString m_updater;
    LogoServer m_server; // the update server
    QNetworkAccessManager m_client;
};

void TestUpdateRoad::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    m_service = m_dir.filePath("service");
    m_updater = m_service + "/Updater";
    QVERIFY(!TestSupport::copyProgram(TestSupport::builtProgram("service/Korvel"), m_service).isEmpty());
    QVERIFY(!TestSupport::copyProgram(TestSupport::builtProgram("updater/Updater"), m_updater).isEmpty());
    QVERIFY2(m_server.start(), qPrintable(m_server.errorText()));
}

// Ends what the road left running, as the cleaner would: "CloseApp" to the
// service and to the updater, until no program of the folder runs.
void TestUpdateRoad::cleanupTestCase()
{
    if (m_service.isEmpty())
        return;
    QUdpSocket socket;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            socket.writeDatagram(R"({"query":"CloseApp","time":"1"})", QHostAddress::LocalHost, 19682);
            socket.writeDatagram(R"({"query":"CloseApp","time":"1"})", QHostAddress::LocalHost, 19681);
            return runningPrograms() == 0;
        }(),
        30000);
}

void TestUpdateRoad::cleanup()
{
    if (QTest::currentTestFailed())
        qInfo().noquote() << "output of the programs:\n" + TestSupport::readAll(m_dir.filePath("programs.log"));
}

int TestUpdateRoad::runningPrograms() const
{
    int running = 0;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        if (QFileInfo("/proc/" + pid + "/exe").symLinkTarget().startsWith(m_service + "/"))
            ++running;
    }
    return running;
}

QByteArray TestUpdateRoad::postToService(const QByteArray &body)
{
    QNetworkReply *reply = m_client.post(QNetworkRequest(QUrl("http://127.0.0.1:12380/")), body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(5000);
    const QByteArray answer = reply->error() == QNetworkReply::NoError ? reply->readAll() : QByteArray();
    reply->deleteLater();
    return answer;
}

// The service logs this line once per start, before its single-instance test.
int TestUpdateRoad::serviceStarts() const
{
    int starts = 0;
    for (const QString &name : QDir(m_service + "/logs").entryList({"PrinterLog_*.log"}))
        starts += TestSupport::readAll(m_service + "/logs/" + name).count("SSL支持状态");
    return starts;
}

void TestUpdateRoad::silentUpdateReplacesAndRestartsTheService()
{
    const QByteArray oldService = TestSupport::readAll(m_service + "/Korvel");
    const QByteArray newService = oldService + "\nrelease 2\n";
    const QByteArray newUpdater = TestSupport::readAll(m_updater + "/Updater") + "\nrelease 2\n";
    quint32 hash = 0;
    const QString package = m_dir.filePath("Korvel-2.zip");
    QVERIFY(PackageMaker::make(package,
                               {PackageMaker::program("Korvel", m_service + "/Korvel", "\nrelease 2\n"),
                                PackageMaker::program("Updater", m_updater + "/Updater", "\nrelease 2\n")},
                               &hash));
    m_server.serve("/Korvel-2.zip", TestSupport::readAll(package));
    const QJsonObject answer{{"name", "Korvel"}, {"version", 2}, {"hash", double(hash)},
                             {"url", m_server.url("/Korvel-2.zip")}, {"comment", "2"}, {"device", ""}};
    m_server.serve("/check", QJsonDocument(answer).toJson());
    const QJsonObject conf{{"version", "1"}, {"name", "venue"}, {"updateTime", ""}, {"url", m_server.url("/check")},
                           {"silent", "1"}, {"startTime", "1500"}, {"device", ""}};
    QVERIFY(TestSupport::writeFile(m_updater + "/Update.conf", QJsonDocument(conf).toJson()));

    QProcess service;
    // A file, not this test's output: the programs started later inherit it
    // and outlive the test's own process.
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.setStandardOutputFile(m_dir.filePath("programs.log"));
    service.start(m_service + "/Korvel", QStringList());
    QVERIFY(service.waitForStarted());
    // "CloseApp" ends it once the package is unpacked. The update server
    // answers from this event loop meanwhile.
    QTRY_COMPARE_WITH_TIMEOUT(service.state(), QProcess::NotRunning, 120000);
    QCOMPARE(service.exitCode(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(TestSupport::readAll(m_updater + "/Korvel-old") == oldService, 30000);
    QVERIFY(TestSupport::readAll(m_service + "/Korvel") == newService);
    QVERIFY(QFileInfo(m_service + "/Korvel").isExecutable());
    const QJsonObject written = QJsonDocument::fromJson(TestSupport::readAll(m_updater + "/Update.conf")).object();
    QCOMPARE(written.value("version").toString(), QString("2"));
    QTRY_VERIFY_WITH_TIMEOUT(!postToService(R"({"Msg":"GetRoomArea"})").isEmpty(), 30000);

    // The restarted service's own updater run finds nothing newer and ends;
    // the service then applies the waiting updater.
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(m_updater + "/Updater-new"), 60000);
    QVERIFY(TestSupport::readAll(m_updater + "/Updater") == newUpdater);
    QCOMPARE(m_server.requests("/Korvel-2.zip"), 1);
    QCOMPARE(serviceStarts(), 2);
}

QTEST_GUILESS_MAIN(TestUpdateRoad)
#include "tst_UpdateRoad.moc"
