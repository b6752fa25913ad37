#include "common/CoordinationProtocol.h"
#include "platform/FileInUse.h"
#include "platform/ProcessTable.h"
#include "service/testsupport/LogCapture.h"
#include "service/update/AutoUpdate.h"
#include "tests/support/FakeVenue.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

using Protocol = CoordinationProtocol;
using Texts = QList<QByteArray>;

// The coordinator in this process on the real loopback ports, with a
// temporary install folder. Its updater is a test program that runs until
// the test releases it.
class TestAutoUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { KORVEL_REQUIRE_HARNESS(); }
    void init();
    void cleanup();

    void answersRequestsAndAsksToQuit_data();
    void answersRequestsAndAsksToQuit();
    void keepsTheTimeOfEveryDatagram();
    void ignoresRequestsFromTheLan();
    void withoutUpdaterLooksOnceAndStops();
    void replacesTheUpdaterOnlyAfterItEnded_data();
    void replacesTheUpdaterOnlyAfterItEnded();

private:
    void start();
    void send(const QByteArray &text);
    QStringList runs() const;

    std::unique_ptr<QTemporaryDir> m_install;
    std::unique_ptr<QTemporaryDir> m_markers;
    std::unique_ptr<QUdpSocket> m_updaterSide;
    std::unique_ptr<QUdpSocket> m_sender;
    std::unique_ptr<CAutoUpdate> m_coordinator;
    std::unique_ptr<QSignalSpy> m_quits;
};

void TestAutoUpdate::init()
{
    m_install = std::make_unique<QTemporaryDir>();
    m_markers = std::make_unique<QTemporaryDir>();
    qputenv("KORVEL_STANDIN_DIR", QFile::encodeName(m_markers->path()));
    m_updaterSide = std::make_unique<QUdpSocket>();
    QVERIFY(m_updaterSide->bind(QHostAddress(QHostAddress::LocalHost), Protocol::UpdaterPort));
    m_sender = std::make_unique<QUdpSocket>();
}

void TestAutoUpdate::cleanup()
{
    TestSupport::writeFile(m_markers->filePath("release"), "");
    // By path: other tests may run updaters of their own meanwhile.
    QTRY_VERIFY(!isFileInUse(m_install->filePath("Updater/Updater")));
    m_quits.reset();
    m_coordinator.reset();
    m_updaterSide.reset();
    m_sender.reset();
}

void TestAutoUpdate::start()
{
    m_coordinator = std::make_unique<CAutoUpdate>(nullptr, m_install->path());
    // The test's own application must not end; the requests are counted.
    QObject::disconnect(m_coordinator.get(), &CAutoUpdate::quitRequested, nullptr, nullptr);
    m_quits = std::make_unique<QSignalSpy>(m_coordinator.get(), &CAutoUpdate::quitRequested);
}

// From a socket that stays open: the coordinator heeds only datagrams whose
// sending socket it can find, and finds it to be this user's.
void TestAutoUpdate::send(const QByteArray &text)
{
    m_sender->writeDatagram(text, QHostAddress(QHostAddress::LocalHost), Protocol::ServicePort);
}

QStringList TestAutoUpdate::runs() const
{
    return QString::fromLatin1(TestSupport::readAll(m_markers->filePath("runs"))).split('\n', Qt::SkipEmptyParts);
}

void TestAutoUpdate::answersRequestsAndAsksToQuit_data()
{
    QTest::addColumn<Texts>("requests");
    QTest::addColumn<Texts>("answers");

    const QByteArray request = Protocol::request("IsUpdated", "1733550000");
    const QByteArray agreed = Protocol::answer("IsUpdated", "1733550000");
    QTest::newRow("updater asks to update") << Texts{request} << Texts{agreed, agreed};
    QTest::newRow("two copies read in one pass") << Texts{request, request} << Texts{agreed, agreed, agreed, agreed};
    QTest::newRow("query in small letters") << Texts{Protocol::request("isupdated", "7")} << Texts{};
    QTest::newRow("no json object") << Texts{"IsUpdated", "[]"} << Texts{};
}

// A final CloseApp marks the end of the answers to the requests before it.
void TestAutoUpdate::answersRequestsAndAsksToQuit()
{
    QFETCH(Texts, requests);
    QFETCH(Texts, answers);
    start();

    for (const QByteArray &request : requests)
        send(request); // loopback queues them at once: one pass reads them all
    send(Protocol::request("CloseApp", "end"));

    const QByteArray end = Protocol::answer("CloseApp", "end");
    Texts received;
    QTRY_COMPARE((received += Protocol::takePendingDatagrams(*m_updaterSide)).count(end), 2);
    QCOMPARE(received, (answers + Texts{end, end}));
    QCOMPARE(m_quits->count(), answers.size() / 2 + 1);
}

void TestAutoUpdate::keepsTheTimeOfEveryDatagram()
{
    start();
    send(Protocol::request("hello", "5"));
    QTRY_COMPARE(m_coordinator->storedCheck(), QStringLiteral("5"));
    send(Protocol::quitRequest("CloseApp"));

    Texts received;
    QTRY_COMPARE((received += Protocol::takePendingDatagrams(*m_updaterSide)).size(), 2);
    const QByteArray answer = R"({"query":"CloseApp","check":""})";
    QCOMPARE(received, (Texts{answer, answer}));
}

// The port listens on every address: a host on the venue's LAN must not be
// able to end the service, or even to change what it answers.
void TestAutoUpdate::ignoresRequestsFromTheLan()
{
    LogCapture log;
    FakeVenue venue;
    QVERIFY(venue.start());
    start();
    for (const QString &to : {FakeVenue::broadcastAddress(), FakeVenue::serviceAddress(), FakeVenue::broadcastAddress()})
        QVERIFY(venue.send(FakeVenue::lanAddress(), to, Protocol::ServicePort, Protocol::request("CloseApp", "lan")));
    send(Protocol::request("CloseApp", "end")); // from this host: marks the end

    const QByteArray end = Protocol::answer("CloseApp", "end");
    Texts received;
    QTRY_COMPARE((received += Protocol::takePendingDatagrams(*m_updaterSide)).count(end), 2);
    QCOMPARE(received, (Texts{end, end}));
    QCOMPARE(m_quits->count(), 1);
    // One line for the flood, not one per datagram.
    QTRY_COMPARE(log.linesWith(QStringLiteral("忽略非本机发来的更新协调消息:%1").arg(FakeVenue::lanAddress())).size(), 1);
}

void TestAutoUpdate::withoutUpdaterLooksOnceAndStops()
{
    // Another installation's updater, same name, does not hold up ours.
    QTemporaryDir elsewhere;
    const QString other = elsewhere.filePath("Updater");
    QVERIFY(QFile::rename(
        TestSupport::copyProgram(TestSupport::builtProgram("service/update/tests/updater_standin"), elsewhere.path()),
        other));
    // It notes its own start in a folder of its own: "runs" counts only ours.
    QProcess otherUpdater;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KORVEL_STANDIN_DIR"), elsewhere.path());
    otherUpdater.setProcessEnvironment(environment);
    otherUpdater.start(other, QStringList());
    QVERIFY(otherUpdater.waitForStarted());
    QTRY_VERIFY(isFileInUse(other));

    start();
    QVERIFY(m_coordinator->isWatching());
    m_coordinator->onWatchTimer();
    QVERIFY(!m_coordinator->isWatching());
    QVERIFY(runs().isEmpty());
    QVERIFY(QDir(m_install->path()).isEmpty());
    TestSupport::writeFile(elsewhere.filePath("release"), "");
    QVERIFY(otherUpdater.waitForFinished());
}

void TestAutoUpdate::replacesTheUpdaterOnlyAfterItEnded_data()
{
    QTest::addColumn<bool>("newWaiting");
    QTest::newRow("ordinary install") << false;
    QTest::newRow("new updater waiting") << true;
}

void TestAutoUpdate::replacesTheUpdaterOnlyAfterItEnded()
{
    QFETCH(bool, newWaiting);
    const QString folder = m_install->filePath("Updater");
    const QString updater = folder + "/Updater";
    QVERIFY(QFile::rename(TestSupport::copyProgram(TestSupport::builtProgram("service/update/tests/updater_standin"), folder),
                          updater));
    TestSupport::writeFile(folder + "/Update.conf", "{}");
    if (newWaiting)
        TestSupport::writeFile(folder + "/Updater-new", "new program");
    const QByteArray current = TestSupport::readAll(updater);

    start();
    QTRY_COMPARE(runs().size(), 1);
    QVERIFY(!isProcessRunning("updater")); // letter case counts

    m_coordinator->onWatchTimer();
    QVERIFY(m_coordinator->isWatching());
    QCOMPARE(QFileInfo::exists(folder + "/Updater-new"), newWaiting);

    TestSupport::writeFile(m_markers->filePath("release"), "");
    QTRY_VERIFY(!isFileInUse(updater));
    m_coordinator->onWatchTimer();

    QVERIFY(!m_coordinator->isWatching());
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"Update.conf", "Updater"}));
    QCOMPARE(TestSupport::readAll(folder + "/Update.conf"), QByteArray("{}"));
    QCOMPARE(TestSupport::readAll(updater), newWaiting ? QByteArray("new program") : current);
}

QTEST_GUILESS_MAIN(TestAutoUpdate)
#include "tst_autoupdate.moc"
