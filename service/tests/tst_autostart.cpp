#include "AutoStart.h"
#include "MainApp.h"
#include "RunKey.h"
#include "ShortcutHelper.h"
#include "TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// The service's two logon mechanisms, in a private configuration folder.
class TestAutoStart : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void writesTheRunValueOnlyWhenItDiffers();
    void runValueNamesOneProgramFile();
    void disablingWithoutValueChangesNothing();
    void namesFollowTheProgramFileName_data();
    void namesFollowTheProgramFileName();
    void powerBootFollowsTheLastRequest();

private:
    QString runKeyFile() const { return m_config->filePath(QStringLiteral("Korvel/Run.ini")); }

    std::unique_ptr<QTemporaryDir> m_config;
};

void TestAutoStart::init()
{
    m_config = std::make_unique<QTemporaryDir>();
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config->path()));
}

void TestAutoStart::cleanup()
{
    m_config.reset();
}

void TestAutoStart::writesTheRunValueOnlyWhenItDiffers()
{
    RunKey runKey(runKeyFile());
    const QString program = QStringLiteral("/opt/velmora/Korvel");
    CAutoStart::setAutoStart(runKey, program, true);
    QVERIFY(CAutoStart::isAutoStart(runKey, program));

    const QDateTime written = QDateTime::currentDateTime().addDays(-1);
    QFile file(runKeyFile());
    QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(written, QFileDevice::FileModificationTime));
    file.close();
    CAutoStart::setAutoStart(runKey, program, true);
    QCOMPARE(QFileInfo(runKeyFile()).lastModified(), written);
    QVERIFY(CAutoStart::isAutoStart(runKey, program));

    CAutoStart::setAutoStart(runKey, program, false);
    QVERIFY(!CAutoStart::isAutoStart(runKey, program));
}

void TestAutoStart::runValueNamesOneProgramFile()
{
    RunKey runKey(runKeyFile());
    const QString installed = QStringLiteral("/opt/velmora/Korvel");
    const QString moved = QStringLiteral("/opt/velmora2/Korvel");
    CAutoStart::setAutoStart(runKey, installed, true);

    QVERIFY(!CAutoStart::isAutoStart(runKey, moved));
    QVERIFY(!CAutoStart::isAutoStart(runKey, QStringLiteral("/opt/Velmora/Korvel")));

    CAutoStart::setAutoStart(runKey, moved, true);
    QVERIFY(CAutoStart::isAutoStart(runKey, moved));
    QVERIFY(!CAutoStart::isAutoStart(runKey, installed));
}

void TestAutoStart::disablingWithoutValueChangesNothing()
{
    RunKey runKey(runKeyFile());
    CAutoStart::setAutoStart(runKey, QStringLiteral("/opt/velmora/Korvel"), false);
    QVERIFY(!QFileInfo::exists(runKeyFile()));
}

void TestAutoStart::namesFollowTheProgramFileName_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("valueName");
    QTest::addColumn<QString>("shortcut");

    QTest::newRow("no dot") << "Korvel" << "Korvel" << "Korvel.desktop";
    QTest::newRow("extension") << "Korvel.exe" << "Korvel" << "Korvel.desktop";
    QTest::newRow("two dots") << "Korvel.1.exe" << "Korvel" << "Korvel.1.desktop";
}

// The value name ends at the first dot, the shortcut's name at the last.
void TestAutoStart::namesFollowTheProgramFileName()
{
    QFETCH(QString, fileName);
    QFETCH(QString, valueName);
    QFETCH(QString, shortcut);
    const QString program = m_config->filePath(QStringLiteral("install/") + fileName);
    RunKey runKey(runKeyFile());

    CAutoStart::setAutoStart(runKey, program, true);
    QCOMPARE(runKey.value(valueName), program);

    const QString link = m_config->filePath(QStringLiteral("autostart/") + shortcut);
    QVERIFY(CAutoStart::setStartupShortcut(program, true));
    QVERIFY(TestSupport::readAll(link).contains("Exec=\"" + QFile::encodeName(program) + "\"\n"));
    QTest::ignoreMessage(QtDebugMsg, "Shortcut deleted successfully.");
    QVERIFY(CAutoStart::setStartupShortcut(program, false));
    QVERIFY(!QFileInfo::exists(link));
}

// The application object, as the window uses it. Its construction binds the
// coordination port, so it only runs in the harness's network namespace.
void TestAutoStart::powerBootFollowsTheLastRequest()
{
    KORVEL_REQUIRE_HARNESS();
    auto *app = qobject_cast<CMainApp *>(QCoreApplication::instance());
    QVERIFY(app);
    QSignalSpy changed(app, &CMainApp::isPowerBootChanged);
    const QString link = ShortcutHelper::startupFolder() + QLatin1Char('/')
                         + QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName()
                         + QStringLiteral(".desktop");
    QVERIFY(link.startsWith(m_config->path()));
    QVERIFY(app->property("isPowerBoot").toBool());

    QVERIFY(app->setPowerBoot(true));
    QVERIFY(QFileInfo::exists(link));
    QCOMPARE(changed.count(), 0);

    QTest::ignoreMessage(QtDebugMsg, "Shortcut deleted successfully.");
    QVERIFY(app->setPowerBoot(false));
    QVERIFY(!QFileInfo::exists(link));
    QCOMPARE(changed.count(), 1);
    QVERIFY(!app->property("isPowerBoot").toBool());

    QVERIFY(app->setPowerBoot(false));
    QCOMPARE(changed.count(), 1);

    QVERIFY(app->setPowerBoot(true));
    QCOMPARE(changed.count(), 2);

    app->setAutoStart(true);
    QVERIFY(app->bAutoStart());
    QCOMPARE(RunKey().value(CAutoStart::runValueName(QCoreApplication::applicationFilePath())),
             QCoreApplication::applicationFilePath());
    app->setAutoStart(false);
    QVERIFY(!app->bAutoStart());
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
