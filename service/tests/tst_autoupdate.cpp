#include "AutoUpdate.h"
#include "CoordinationProtocol.h"
#include "ProcessTable.h"
#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

using Protocol = CoordinationProtocol;

// The coordinator in this process, on the real loopback ports, with a
// temporary install folder. The updater is a test program that runs until
// the test releases it.
class TestAutoUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void answersRequestsAndAsksToQuit_data();
    void answersRequestsAndAsksToQuit();
    void keepsTheTimeOfEveryDatagram();

    void withoutUpdaterLooksOnceAndStops();
    void replacesTheUpdaterOnlyAfterItEnded_data();
    void replacesTheUpdaterOnlyAfterItEnded();

private:
    std::unique_ptr<CAutoUpdate> makeCoordinator();
    void send(const QByteArray &text);
    // Everything answered before a final marker request has been answered.
    void collectAnswersUpToMarker(QList<QByteArray> &answers);
    QStringList runs() const;

    std::unique_ptr<QTemporaryDir> m_install;
    std::unique_ptr<QTemporaryDir> m_markers;
    std::unique_ptr<QUdpSocket> m_updaterSide;
    QUdpSocket m_sender;
    std::unique_ptr<CAutoUpdate> m_coordinator;
    std::unique_ptr<QSignalSpy> m_quits;
};

void TestAutoUpdate::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
}

void TestAutoUpdate::init()
{
    m_install = std::make_unique<QTemporaryDir>();
    m_markers = std::make_unique<QTemporaryDir>();
    qputenv("KORVEL_STANDIN_DIR", QFile::encodeName(m_markers->path()));
    m_updaterSide = std::make_unique<QUdpSocket>();
    QVERIFY(m_updaterSide->bind(QHostAddress(QHostAddress::LocalHost), Protocol::UpdaterPort));
}

void TestAutoUpdate::cleanup()
{
    TestSupport::writeFile(m_markers->filePath(QStringLiteral("release")), "");
    QTRY_VERIFY(!isProcessRunning(QStringLiteral("Updater")));
    m_quits.reset();
    m_coordinator.reset();
    m_updaterSide.reset();
    m_install.reset();
    m_markers.reset();
}

std::unique_ptr<CAutoUpdate> TestAutoUpdate::makeCoordinator()
{
    auto coordinator = std::make_unique<CAutoUpdate>(nullptr, m_install->path());
    // The test's own application must not be ended; the request is counted.
    QObject::disconnect(coordinator.get(), &CAutoUpdate::quitRequested, nullptr, nullptr);
    m_quits = std::make_unique<QSignalSpy>(coordinator.get(), &CAutoUpdate::quitRequested);
    return coordinator;
}

void TestAutoUpdate::send(const QByteArray &text)
{
    m_sender.writeDatagram(text, QHostAddress(QHostAddress::LocalHost), Protocol::ServicePort);
}

void TestAutoUpdate::collectAnswersUpToMarker(QList<QByteArray> &answers)
{
    send(Protocol::request(Protocol::closeApp(), QStringLiteral("marker")));
    const QByteArray marker = Protocol::answer(Protocol::closeApp(), QStringLiteral("marker"));
    QTRY_VERIFY((answers += Protocol::takePendingDatagrams(*m_updaterSide)).count(marker) == 2);
    answers.removeAll(marker);
}

QStringList TestAutoUpdate::runs() const
{
    return QString::fromLatin1(TestSupport::readAll(m_markers->filePath(QStringLiteral("runs"))))
        .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestAutoUpdate::answersRequestsAndAsksToQuit_data()
{
    QTest::addColumn<QList<QByteArray>>("requests");
    QTest::addColumn<QList<QByteArray>>("answers");

    const QByteArray isUpdated = Protocol::request(Protocol::isUpdated(), "1733550000");
    const QByteArray agreed = Protocol::answer(Protocol::isUpdated(), "1733550000");
    QTest::newRow("updater asks to update") << QList<QByteArray>{isUpdated} << QList<QByteArray>{agreed, agreed};
    QTest::newRow("both copies read in one pass")
        << QList<QByteArray>{isUpdated, isUpdated} << QList<QByteArray>{agreed, agreed, agreed, agreed};
    QTest::newRow("cleaner asks to close")
        << QList<QByteArray>{Protocol::request(Protocol::closeApp(), "42")}
        << QList<QByteArray>{Protocol::answer(Protocol::closeApp(), "42"), Protocol::answer(Protocol::closeApp(), "42")};
    QTest::newRow("service started with quit")
        << QList<QByteArray>{Protocol::quitRequest(Protocol::isUpdated())}
        << QList<QByteArray>{Protocol::answer(Protocol::isUpdated(), ""), Protocol::answer(Protocol::isUpdated(), "")};
    QTest::newRow("query in small letters") << QList<QByteArray>{Protocol::request("isupdated", "7")}
                                            << QList<QByteArray>{};
    QTest::newRow("refusal is not for the service") << QList<QByteArray>{Protocol::request(Protocol::noUpdated(), "7")}
                                                    << QList<QByteArray>{};
    QTest::newRow("no json") << QList<QByteArray>{"IsUpdated", ""} << QList<QByteArray>{};
}

void TestAutoUpdate::answersRequestsAndAsksToQuit()
{
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QList<QByteArray>, answers);
    m_coordinator = makeCoordinator();

    for (const QByteArray &request : requests)
        send(request); // loopback queues them at once: one pass reads all

    QList<QByteArray> received;
    collectAnswersUpToMarker(received);
    QCOMPARE(received, answers);
    QCOMPARE(m_quits->count(), answers.size() / 2 + 1);
}

void TestAutoUpdate::keepsTheTimeOfEveryDatagram()
{
    m_coordinator = makeCoordinator();

    send(Protocol::request(QStringLiteral("hello"), QStringLiteral("5")));
    QTRY_COMPARE(m_coordinator->storedCheck(), QStringLiteral("5"));
    send(Protocol::quitRequest(Protocol::closeApp()));

    QList<QByteArray> answers;
    QTRY_COMPARE((answers += Protocol::takePendingDatagrams(*m_updaterSide)).size(), 2);
    QCOMPARE(answers.first(), QByteArray(R"({"query":"CloseApp","check":""})"));
    QCOMPARE(answers.last(), answers.first());
    QCOMPARE(m_quits->count(), 1);
}

void TestAutoUpdate::withoutUpdaterLooksOnceAndStops()
{
    m_coordinator = makeCoordinator();
    QVERIFY(m_coordinator->isWatching());

    m_coordinator->onWatchTimer();

    QVERIFY(!m_coordinator->isWatching());
    QVERIFY(runs().isEmpty());
    QVERIFY(QDir(m_install->path()).isEmpty());
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
    const QString folder = m_install->filePath(QStringLiteral("Updater"));
    const QString updater = TestSupport::copyProgram(TestSupport::builtProgram("service/tests/updater_standin"), folder);
    QVERIFY(QFile::rename(updater, folder + QStringLiteral("/Updater")));
    QVERIFY(TestSupport::writeFile(folder + QStringLiteral("/Update.conf"), "{}"));
    if (newWaiting)
        QVERIFY(TestSupport::writeFile(folder + QStringLiteral("/Updater-new"), "new program"));
    const QByteArray current = TestSupport::readAll(folder + QStringLiteral("/Updater"));

    m_coordinator = makeCoordinator();
    QTRY_COMPARE(runs().size(), 1);
    QVERIFY(isProcessRunning(QStringLiteral("Updater")));

    m_coordinator->onWatchTimer();
    QVERIFY(m_coordinator->isWatching());
    QCOMPARE(QFileInfo::exists(folder + QStringLiteral("/Updater-new")), newWaiting);
    QCOMPARE(TestSupport::readAll(folder + QStringLiteral("/Updater")), current);

    QVERIFY(TestSupport::writeFile(m_markers->filePath(QStringLiteral("release")), ""));
    QTRY_VERIFY(!isProcessRunning(QStringLiteral("Updater")));
    m_coordinator->onWatchTimer();

    QVERIFY(!m_coordinator->isWatching());
    QVERIFY(QFileInfo(folder).isDir());
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList{"Update.conf", "Updater"}));
    QCOMPARE(TestSupport::readAll(folder + QStringLiteral("/Update.conf")), QByteArray("{}"));
    QCOMPARE(TestSupport::readAll(folder + QStringLiteral("/Updater")),
             newWaiting ? QByteArray("new program") : current);
    QCOMPARE(runs().size(), 1);
}

QTEST_GUILESS_MAIN(TestAutoUpdate)
#include "tst_autoupdate.moc"
