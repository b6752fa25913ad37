#include "common/CoordinationProtocol.h"
#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

using Protocol = CoordinationProtocol;

// The service program, asked over loopback to end, as the updater, the
// cleaner and a second start with "quit" ask it.
class TestServiceQuit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void answersAndEnds_data();
    void answersAndEnds();

private:
    QTemporaryDir m_dir;
    QString m_program;
};

void TestServiceQuit::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    m_program = TestSupport::copyProgram(TestSupport::builtProgram("service/Korvel"), m_dir.path());
    QVERIFY(!m_program.isEmpty());
}

void TestServiceQuit::answersAndEnds_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("updater asks to update") << "request" << Protocol::answer(Protocol::isUpdated(), "1733550000");
    QTest::newRow("second start with --quit") << "argument" << Protocol::answer(Protocol::isUpdated(), "");
}

void TestServiceQuit::answersAndEnds()
{
    QFETCH(QString, how);
    QFETCH(QByteArray, answer);
    QUdpSocket updaterSide;
    QVERIFY(updaterSide.bind(QHostAddress(QHostAddress::LocalHost), Protocol::UpdaterPort));
    QProcess service;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // The window registers the startup shortcut; keep it in the test's folder.
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_dir.filePath(QStringLiteral("config")));
    // The single-instance keys live in the temporary folder; a private one
    // keeps a service that runs elsewhere on the machine out of this test.
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("tmp"))));
    environment.insert(QStringLiteral("TMPDIR"), m_dir.filePath(QStringLiteral("tmp")));
    if (!environment.contains(QStringLiteral("DISPLAY")))
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    service.setProcessEnvironment(environment);
    service.setProcessChannelMode(QProcess::ForwardedChannels);
    service.start(m_program, QStringList());
    QVERIFY(service.waitForStarted());
    // The namespace's UDP table shows when the service listens for requests.
    QTRY_VERIFY_WITH_TIMEOUT(TestSupport::readAll("/proc/net/udp").contains(":4CE2 "), 20000);

    // Open until the service has read it: the service heeds only requests
    // from sockets it finds to be its own user's.
    QUdpSocket updater;
    if (how == QLatin1String("request")) {
        updater.writeDatagram(Protocol::request(Protocol::isUpdated(), "1733550000"),
                              QHostAddress(QHostAddress::LocalHost), Protocol::ServicePort);
    } else {
        QCOMPARE(QProcess::execute(m_program, {QStringLiteral("--quit")}), 0);
    }

    QVERIFY(service.waitForFinished(20000));
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);
    // Each request copy that the service read before it ended is answered twice.
    const QList<QByteArray> answers = Protocol::takePendingDatagrams(updaterSide);
    QVERIFY2(answers.size() == 2 || (how == QLatin1String("argument") && answers.size() == 4),
             QByteArray::number(answers.size()));
    QCOMPARE(answers.count(answer), answers.size());
}

QTEST_GUILESS_MAIN(TestServiceQuit)
#include "tst_servicequit.moc"
