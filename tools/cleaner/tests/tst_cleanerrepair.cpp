#include "common/CoordinationProtocol.h"
#include "platform/RunKey.h"
#include "platform/ShortcutHelper.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

using Protocol = CoordinationProtocol;

// The cleaner program without a window ("-repairPrinter"), against service
// folders made here, a real service and stand-ins that ignore requests.
class TestCleanerRepair : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void removesAFolderNothingRunsFrom();
    void realServiceClosesWhenAsked();
    void standInsAreEndedByPath();
    void leavesEverythingWithoutAServiceValue_data();
    void leavesEverythingWithoutAServiceValue();
    void folderSwappedDuringTheWait();

private:
    QString cleanUp();
    QString makeService(const QString &folder);
    QProcess *startStandIn(const QString &program);
    static QString autostartEntry();

    std::unique_ptr<QTemporaryDir> m_dir;
    RunKey m_runKey;
    std::list<QProcess> m_standIns;
};

void TestCleanerRepair::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    QVERIFY(QFile::exists(TestSupport::builtProgram("tools/cleaner/Selvane")));
}

void TestCleanerRepair::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    // The cleaner and the service inherit both: the Run value and the
    // autostart entry live in the test's folder, and so does the home folder.
    qputenv("XDG_CONFIG_HOME", m_dir->filePath("config").toUtf8());
    qputenv("HOME", m_dir->filePath("home").toUtf8());
    QVERIFY(QDir().mkpath(m_dir->filePath("home")));
    m_runKey = RunKey();
}

void TestCleanerRepair::cleanup()
{
    for (QProcess &process : m_standIns) {
        process.kill();
        process.waitForFinished();
    }
    m_standIns.clear();
    m_dir.reset();
}

// Runs the cleaner, in the test's folder, to its end; returns its output.
QString TestCleanerRepair::cleanUp()
{
    QProcess cleaner;
    cleaner.setProcessChannelMode(QProcess::MergedChannels);
    cleaner.setWorkingDirectory(m_dir->path());
    cleaner.start(TestSupport::builtProgram("tools/cleaner/Selvane"), {"-repairPrinter"});
    if (!cleaner.waitForFinished(30000) || cleaner.exitStatus() != QProcess::NormalExit || cleaner.exitCode() != 0)
        return QStringLiteral("cleaner did not end with 0");
    return QString::fromUtf8(cleaner.readAll());
}

// A service folder with the package's three programs and some data;
// returns the service's program path.
QString TestCleanerRepair::makeService(const QString &folder)
{
    QDir().mkpath(folder + "/Updater");
    QDir().mkpath(folder + "/logs");
    TestSupport::writeFile(folder + "/logs/PrinterLog.log", "log");
    TestSupport::writeFile(folder + "/Updater/Updater", "updater");
    TestSupport::writeFile(folder + "/Updater/Tamrow", "rollback");
    TestSupport::writeFile(folder + "/Updater/Update.conf", "{}");
    TestSupport::writeFile(folder + "/Korvel", "service");
    return folder + "/Korvel";
}

// A program that ignores every request, run from the given file.
QProcess *TestCleanerRepair::startStandIn(const QString &program)
{
    QDir().mkpath(QFileInfo(program).path());
    QFile::remove(program);
    QFile::copy("/bin/sleep", program);
    QFile::setPermissions(program, QFile::permissions("/bin/sleep"));
    QProcess &process = m_standIns.emplace_back();
    process.start(program, {"300"});
    process.waitForStarted();
    return &process;
}

QString TestCleanerRepair::autostartEntry()
{
    return ShortcutHelper::startupFolder() + "/Korvel" + ShortcutHelper::shortcutExtension();
}

void TestCleanerRepair::removesAFolderNothingRunsFrom()
{
    // Blanks, quotes and field-code characters in the folder name make the
    // autostart entry's Exec line quote and escape.
    const QString folder = m_dir->filePath("svc \"a\" $b %c");
    const QString service = makeService(folder);
    m_runKey.setValue("Korvel", service);
    QVERIFY(QDir().mkpath(ShortcutHelper::startupFolder()));
    QVERIFY(ShortcutHelper::createShortcut(service, autostartEntry()));

    const QString output = cleanUp();
    QVERIFY2(output.contains("清理成功"), qPrintable(output));
    QVERIFY2(output.contains("removed: " + folder + " ("), qPrintable(output));
    QVERIFY(!output.contains("执行命令:"));
    QVERIFY(!output.contains("===== 发送消息"));
    QVERIFY(!QFile::exists(folder));
    QCOMPARE(m_runKey.value("Korvel"), QString());
    QVERIFY(!QFile::exists(autostartEntry()));
}

void TestCleanerRepair::realServiceClosesWhenAsked()
{
    const QString folder = m_dir->filePath("svc");
    makeService(folder);
    QFile::remove(folder + "/Updater/Updater"); // the service would start it
    const QString program = TestSupport::copyProgram(TestSupport::builtProgram("service/Korvel"), folder);
    QProcess service;
    service.setProcessChannelMode(QProcess::ForwardedChannels);
    service.start(program, QStringList());
    QVERIFY(service.waitForStarted());
    // Once the service answers a command, its event loop runs and it takes
    // requests at once. Its port may still be held for a moment by the
    // service of a test before, which it then tries again.
    QNetworkAccessManager http;
    const auto answers = [&http] {
        QNetworkRequest request(QUrl("http://127.0.0.1:12380/"));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        std::unique_ptr<QNetworkReply> answer(http.post(request, R"({"Msg":"GetRoomArea"})"));
        return QSignalSpy(answer.get(), &QNetworkReply::finished).wait(20000)
            && answer->error() == QNetworkReply::NoError;
    };
    QTRY_VERIFY_WITH_TIMEOUT(answers(), 30000);
    m_runKey.setValue("Korvel", program);

    const QString output = cleanUp();
    QVERIFY2(output.contains("清理成功"), qPrintable(output));
    QCOMPARE(output.count(QRegularExpression(R"(===== 发送消息 \{"query":"CloseApp","time":"\d+"\})")), 2);
    QVERIFY2(!output.contains("执行命令:"), qPrintable(output));
    QVERIFY(service.waitForFinished(10000));
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);
    QVERIFY(!QFile::exists(folder));
}

void TestCleanerRepair::standInsAreEndedByPath()
{
    QUdpSocket serviceSide, updaterSide;
    QVERIFY(serviceSide.bind(QHostAddress::LocalHost, Protocol::ServicePort));
    QVERIFY(updaterSide.bind(QHostAddress::LocalHost, Protocol::UpdaterPort));
    const QString folder = m_dir->filePath("svc");
    m_runKey.setValue("Korvel", makeService(folder));
    QProcess *service = startStandIn(folder + "/Korvel");
    QProcess *updater = startStandIn(folder + "/Updater/Updater");
    // Another installation's service, of the same name, must survive.
    QProcess *other = startStandIn(m_dir->filePath("other/Korvel"));
    const QSet<QString> expected{QString::number(service->processId()), QString::number(updater->processId())};

    const QString output = cleanUp();
    QVERIFY2(output.contains("清理成功"), qPrintable(output));
    QVERIFY(service->waitForFinished(10000));
    QVERIFY(updater->waitForFinished(10000));
    QCOMPARE(service->exitStatus(), QProcess::CrashExit);
    QCOMPARE(updater->exitStatus(), QProcess::CrashExit);
    QCOMPARE(other->state(), QProcess::Running);
    QVERIFY(!QFile::exists(folder));
    const QStringList command = output.split('\n').filter("执行命令: kill -KILL ");
    QCOMPARE(command.size(), 1);
    const QStringList pids = command.first().section(' ', 3).split(' ');
    QCOMPARE(QSet<QString>(pids.begin(), pids.end()), expected);

    // Each program was asked to close on its own port, twice.
    for (QUdpSocket *side : {&serviceSide, &updaterSide}) {
        const QList<QByteArray> requests = Protocol::takePendingDatagrams(*side);
        QCOMPARE(requests.size(), 2);
        QCOMPARE(Protocol::parse(requests.first()).query, Protocol::closeApp());
        QCOMPARE(requests.last(), requests.first());
    }
}

void TestCleanerRepair::leavesEverythingWithoutAServiceValue_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("printed"); // the line after the result
    // Relative to the test's folder, which holds these files:
    // svc/Korvel, svc/Korvel.bak, svc/link/Korvel -> ../Korvel,
    // folder/Korvel/ (a folder), home/Korvel beside other files,
    // bare/Korvel without the updater's folder, half/Updater/Update.conf
    // without the service's program.
    QTest::newRow("no value") << "" << "清理成功" << "nothing to remove";
    QTest::newRow("root") << "/" << "清理失败" << "reason: /";
    QTest::newRow("home folder") << "home/Korvel" << "清理失败" << "reason: ";
    QTest::newRow("quoted") << "\"svc/Korvel\"" << "清理失败" << "reason: ";
    QTest::newRow("relative") << "./svc/Korvel" << "清理失败" << "reason: ";
    QTest::newRow("link") << "svc/link/Korvel" << "清理失败" << "reason: ";
    QTest::newRow("folder") << "folder/Korvel" << "清理失败" << "reason: ";
    QTest::newRow("other name") << "svc/Korvel.bak" << "清理失败" << "reason: ";
    // As a program installed straight into a system prefix sits.
    QTest::newRow("no updater folder") << "bare/Korvel" << "清理失败" << "reason: ";
    QTest::newRow("program gone, package left") << "half/Korvel" << "清理失败" << "reason: ";
    // Left behind by a package deleted by hand: the value goes, nothing else.
    QTest::newRow("program and folder gone") << "gone/Korvel" << "清理成功" << "removed: Run value Korvel=";
    QTest::newRow("program gone, folder unrelated") << "home/x/Korvel" << "清理成功" << "removed: Run value Korvel=";
}

void TestCleanerRepair::leavesEverythingWithoutAServiceValue()
{
    QFETCH(QString, value);
    QFETCH(QString, result);
    QFETCH(QString, printed);
    makeService(m_dir->filePath("svc"));
    QVERIFY(TestSupport::writeFile(m_dir->filePath("svc/Korvel.bak"), "service"));
    QVERIFY(QDir().mkpath(m_dir->filePath("svc/link")));
    QVERIFY(QFile::link("../Korvel", m_dir->filePath("svc/link/Korvel")));
    QVERIFY(QDir().mkpath(m_dir->filePath("folder/Korvel")));
    QVERIFY(TestSupport::writeFile(m_dir->filePath("home/Korvel"), "service"));
    QVERIFY(TestSupport::writeFile(m_dir->filePath("home/letter.txt"), "private"));
    QVERIFY(QDir().mkpath(m_dir->filePath("home/x")));
    QVERIFY(QDir().mkpath(m_dir->filePath("bare/lib")));
    QVERIFY(TestSupport::writeFile(m_dir->filePath("bare/Korvel"), "service"));
    QVERIFY(QDir().mkpath(m_dir->filePath("half/Updater")));
    QVERIFY(TestSupport::writeFile(m_dir->filePath("half/Updater/Update.conf"), "{}"));
    // Rows that name a file of the test's folder get its absolute path.
    const bool asGiven = value.isEmpty() || value == "/" || value.startsWith("./");
    const QString data = asGiven ? value
                       : value.startsWith("\"") ? "\"" + m_dir->filePath(value.mid(1))
                                                : m_dir->filePath(value);
    if (!data.isEmpty())
        m_runKey.setValue("Korvel", data);

    const QString output = cleanUp();
    QVERIFY2(output.contains(result), qPrintable(output));
    const QStringList lines = output.split('\n');
    const int resultLine = lines.indexOf(QRegularExpression(".*" + result + ".*"));
    QVERIFY2(resultLine >= 0 && lines.value(resultLine + 1).startsWith(printed), qPrintable(output));
    QCOMPARE(m_runKey.value("Korvel"), result == "清理成功" ? QString() : data);
    for (const char *kept : {"svc/Korvel", "svc/Updater/Tamrow", "svc/link/Korvel", "home/letter.txt", "home/Korvel",
                             "bare/Korvel", "bare/lib", "half/Updater/Update.conf", "home/x"})
        QVERIFY2(QFileInfo::exists(m_dir->filePath(kept)), kept);
}

// The folder is checked, then deleted after the programs had time to close.
// Swapped for a link in between, neither the link's target nor the moved
// folder loses anything.
void TestCleanerRepair::folderSwappedDuringTheWait()
{
    const QString folder = m_dir->filePath("svc");
    m_runKey.setValue("Korvel", makeService(folder));
    const QString victim = m_dir->filePath("victim");
    makeService(victim);
    QVERIFY(TestSupport::writeFile(victim + "/precious.txt", "keep"));

    QProcess cleaner;
    cleaner.setProcessChannelMode(QProcess::MergedChannels);
    cleaner.start(TestSupport::builtProgram("tools/cleaner/Selvane"), {"-repairPrinter"});
    // The value goes right after the check, half a second before the removal.
    QTRY_VERIFY_WITH_TIMEOUT(m_runKey.value("Korvel").isEmpty(), 10000);
    QVERIFY(QFile::rename(folder, m_dir->filePath("moved")));
    QVERIFY(QFile::link(victim, folder));
    QVERIFY(cleaner.waitForFinished(30000));

    const QString output = QString::fromUtf8(cleaner.readAll());
    QVERIFY2(output.contains("清理失败") && output.contains("reason: "), qPrintable(output));
    QCOMPARE(TestSupport::readAll(victim + "/precious.txt"), QByteArray("keep"));
    QVERIFY(QFileInfo::exists(victim + "/Korvel"));
    QVERIFY(QFileInfo::exists(m_dir->filePath("moved/Korvel")));
    QVERIFY(QFileInfo::exists(m_dir->filePath("moved/logs/PrinterLog.log")));
}

QTEST_GUILESS_MAIN(TestCleanerRepair)
#include "tst_cleanerrepair.moc"
