#include "platform/InstanceLock.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

// The Korvel program itself, started from private folders inside the
// harness: quit requests, and the single-instance rule between processes.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void quitRequest_data();
    void quitRequest();
    void secondInstanceExitsWhileFirstRuns();
    void takenCommandPortIsLoggedAndTriedAgain();

private:
    QString installCopy(const QTemporaryDir &dir) const;
    static bool instanceIsHeld();
    static bool answersCommands();
    static QString todaysLog(const QTemporaryDir &dir);
};

void TestStartup::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    QVERIFY(QFile::exists(TestSupport::builtProgram("service/Korvel")));
}

QString TestStartup::installCopy(const QTemporaryDir &dir) const
{
    return TestSupport::copyProgram(TestSupport::builtProgram("service/Korvel"), dir.path());
}

// Reads the kernel's lock table instead of trying the lock: a probe that
// took the lock, even for a moment, could make a starting service give way.
// The running service serves its command port.
bool TestStartup::answersCommands()
{
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), 12380);
    if (!socket.waitForConnected(1000))
        return false;
    const QByteArray body = R"({"Msg":"GetRoomArea"})";
    socket.write("POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray answer;
    while (!answer.contains("\r\n\r\n") && socket.waitForReadyRead(2000))
        answer += socket.readAll();
    return answer.startsWith("HTTP/1.1 200");
}

bool TestStartup::instanceIsHeld()
{
    const InstanceLock names(QStringLiteral("QXPrinterObject"));
    struct stat info = {};
    if (::stat(QFile::encodeName(names.path()).constData(), &info) != 0)
        return false;

    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    // "1: FLOCK  ADVISORY  WRITE 1234 fd:01:5678 0 EOF"
    const QByteArray inode = ":" + QByteArray::number(qulonglong(info.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 5 && fields.at(1) == "FLOCK" && fields.at(5).endsWith(inode))
            return true;
    }
    return false;
}

QString TestStartup::todaysLog(const QTemporaryDir &dir)
{
    return QString::fromUtf8(TestSupport::readAll(
        dir.path() + "/logs/PrinterLog_" + QDate::currentDate().toString("yyyy-MM-dd") + ".log"));
}

void TestStartup::quitRequest_data()
{
    QTest::addColumn<QString>("argument");
    QTest::newRow("quit") << "quit";
    QTest::newRow("--quit") << "--quit";
    QTest::newRow("inside a word") << "xquity";
}

void TestStartup::quitRequest()
{
    QFETCH(QString, argument);
    QUdpSocket coordinator;
    QVERIFY(coordinator.bind(QHostAddress::LocalHost, 19682));

    QTemporaryDir dir;
    QProcess korvel;
    korvel.start(installCopy(dir), {argument});
    QVERIFY(korvel.waitForFinished(10000));
    QCOMPARE(korvel.exitStatus(), QProcess::NormalExit);
    QCOMPARE(korvel.exitCode(), 0);

    QList<QByteArray> datagrams;
    while (coordinator.waitForReadyRead(500) || coordinator.hasPendingDatagrams()) {
        while (coordinator.hasPendingDatagrams()) {
            QByteArray datagram(int(coordinator.pendingDatagramSize()), '\0');
            coordinator.readDatagram(datagram.data(), datagram.size());
            datagrams << datagram;
        }
    }
    QCOMPARE(datagrams, (QList<QByteArray>{R"({"query":"IsUpdated"})", R"({"query":"IsUpdated"})"}));
    QCOMPARE(datagrams.first().size(), 21);
    // No application object, so no log folder either.
    QVERIFY(!QDir(dir.path() + "/logs").exists());
}

void TestStartup::secondInstanceExitsWhileFirstRuns()
{
    QVERIFY2(!instanceIsHeld(), "another service instance runs in this namespace");

    QTemporaryDir firstDir, thirdDir;
    QProcess first;
    first.start(installCopy(firstDir), QStringList());
    QVERIFY(first.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(instanceIsHeld(), 30000);

    // Started from the same folder: it must give way before it binds a
    // port or writes a line into the running service's log.
    const QString program = first.program();
    QTRY_VERIFY_WITH_TIMEOUT(todaysLog(firstDir).contains("] SSL支持状态:1 ("), 30000);
    QProcess second;
    second.start(program, QStringList());
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.state(), QProcess::Running);
    const QString firstLog = todaysLog(firstDir);
    QCOMPARE(firstLog.count("SSL支持状态"), 1);
    QVERIFY2(!firstLog.contains("监听失败"), qPrintable(firstLog));

    // A killed instance's lock goes with it; the next start succeeds.
    ::kill(pid_t(first.processId()), SIGKILL);
    QVERIFY(first.waitForFinished(10000));
    QTRY_VERIFY_WITH_TIMEOUT(!instanceIsHeld(), 10000);

    QProcess third;
    third.start(installCopy(thirdDir), QStringList());
    QVERIFY(third.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(instanceIsHeld(), 30000);
    QTRY_VERIFY_WITH_TIMEOUT(answersCommands(), 30000);
    QCOMPARE(third.state(), QProcess::Running);

    // A polite stop ends the service in order, with status 0.
    third.terminate();
    QVERIFY(third.waitForFinished(10000));
    QCOMPARE(third.exitStatus(), QProcess::NormalExit);
    QCOMPARE(third.exitCode(), 0);
    QVERIFY(!instanceIsHeld());
}

// Another program holds the command port when the service starts: the
// service says so in its log and takes the port as soon as it is free.
void TestStartup::takenCommandPortIsLoggedAndTriedAgain()
{
    QTcpServer other;
    QVERIFY(other.listen(QHostAddress::Any, 12380));

    QTemporaryDir dir;
    QProcess korvel;
    korvel.start(installCopy(dir), QStringList());
    QVERIFY(korvel.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(todaysLog(dir).contains(QStringLiteral("] http服务端口12380监听失败：")), 30000);
    QCOMPARE(korvel.state(), QProcess::Running);

    other.close();
    QTRY_VERIFY_WITH_TIMEOUT(answersCommands(), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(todaysLog(dir).contains(QStringLiteral("] http服务端口12380监听成功 (")), 5000);
    QCOMPARE(todaysLog(dir).count(QStringLiteral("监听失败")), 1);

    korvel.terminate();
    QVERIFY(korvel.waitForFinished(10000));
    QCOMPARE(korvel.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
