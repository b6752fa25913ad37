#include "platform/RunKey.h"
#include "platform/ShortcutHelper.h"
#include "service/app/AutoStart.h"
#include "service/app/MainApp.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The service's two logon mechanisms, in a private configuration folder.
class TestAutoStart : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_config.reset(); }

    void writesTheRunValueOnlyWhenItDiffers();
    void registersAndRemovesTheProgram_data();
    void registersAndRemovesTheProgram();
    void powerBootFollowsTheLastRequest();

private:
    std::unique_ptr<QTemporaryDir> m_config;
};

void TestAutoStart::init()
{
    m_config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config->path()));
}

void TestAutoStart::writesTheRunValueOnlyWhenItDiffers()
{
    RunKey runKey;
    const QString installed = "/opt/velmora/Korvel", moved = "/opt/velmora2/Korvel";
    CAutoStart::setAutoStart(runKey, installed, true);
    QVERIFY(CAutoStart::isAutoStart(runKey, installed));

    const QDateTime written = QDateTime::currentDateTime().addDays(-1);
    QFile file(runKey.filePath());
    QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(written, QFileDevice::FileModificationTime));
    file.close();
    CAutoStart::setAutoStart(runKey, installed, true);
    QCOMPARE(QFileInfo(runKey.filePath()).lastModified(), written);

    QVERIFY(!CAutoStart::isAutoStart(runKey, moved));
    CAutoStart::setAutoStart(runKey, moved, true);
    QVERIFY(CAutoStart::isAutoStart(runKey, moved));
    CAutoStart::setAutoStart(runKey, moved, false);
    QVERIFY(!CAutoStart::isAutoStart(runKey, moved));
}

void TestAutoStart::registersAndRemovesTheProgram_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("valueName");
    QTest::addColumn<QString>("shortcut");

    QTest::newRow("plain") << "install" << "Korvel" << "Korvel" << "Korvel.desktop";
    QTest::newRow("two dots") << "install" << "Korvel.1.exe" << "Korvel" << "Korvel.1.desktop";
    QTest::newRow("characters the Exec line reserves")
        << "Velmora $HOME 100% \"x\" a\\b" << "Korvel" << "Korvel" << "Korvel.desktop";
}

// The desktop runs the shortcut's Exec line; its double quotes follow the
// shell's rules, so running the line through sh shows what a logon starts.
void TestAutoStart::registersAndRemovesTheProgram()
{
    QFETCH(QString, folder);
    QFETCH(QString, fileName);
    QFETCH(QString, shortcut);
    const QString program = m_config->filePath(folder + '/' + fileName);
    const QString marker = m_config->filePath("started");
    QDir().mkpath(QFileInfo(program).path());
    TestSupport::writeFile(program, "#!/bin/sh\nprintf '%s\\n' \"$0\" > '" + marker.toUtf8() + "'\n");
    QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner);

    RunKey runKey;
    CAutoStart::setAutoStart(runKey, program, true);
    QFETCH(QString, valueName);
    QCOMPARE(runKey.value(valueName), program);

    const QString link = m_config->filePath("autostart/" + shortcut);
    QVERIFY(CAutoStart::setStartupShortcut(program, true));
    QByteArray exec;
    for (const QByteArray &line : TestSupport::readAll(link).split('\n')) {
        if (line.startsWith("Exec="))
            exec = line.mid(5).replace("\\\\", "\\").replace("%%", "%");
    }
    QCOMPARE(QProcess::execute("/bin/sh", {"-c", QString::fromUtf8(exec)}), 0);
    QCOMPARE(TestSupport::readAll(marker), program.toUtf8() + '\n');

    QTest::ignoreMessage(QtDebugMsg, "Shortcut deleted successfully.");
    QVERIFY(CAutoStart::setStartupShortcut(program, false));
    QVERIFY(!QFileInfo::exists(link));
}

// The application object as the window uses it. Building it binds the
// coordination port, so this runs only in the harness's network namespace.
void TestAutoStart::powerBootFollowsTheLastRequest()
{
    KORVEL_REQUIRE_HARNESS();
    auto *app = qobject_cast<CMainApp *>(QCoreApplication::instance());
    QSignalSpy changed(app, &CMainApp::isPowerBootChanged);
    const QString link = ShortcutHelper::startupFolder() + '/'
                         + QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName() + ".desktop";
    QVERIFY(app->property("isPowerBoot").toBool());

    QVERIFY(app->setPowerBoot(true));
    QVERIFY(QFileInfo::exists(link));
    QCOMPARE(changed.count(), 0);

    QTest::ignoreMessage(QtDebugMsg, "Shortcut deleted successfully.");
    QVERIFY(app->setPowerBoot(false));
    QVERIFY(!QFileInfo::exists(link));
    QVERIFY(!app->property("isPowerBoot").toBool());
    QVERIFY(app->setPowerBoot(false));
    QCOMPARE(changed.count(), 1);
    QVERIFY(app->setPowerBoot(true));
    QCOMPARE(changed.count(), 2);

    app->setAutoStart(true);
    QVERIFY(app->bAutoStart());
}

int main(int argc, char **argv)
{
    TestAutoStart test;
    if (!TestSupport::inHarness()) {
        QCoreApplication app(argc, argv);
        return QTest::qExec(&test, argc, argv);
    }
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    CMainApp app(argc, argv);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_autostart.moc"
