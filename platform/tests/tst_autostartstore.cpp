#include "RunKey.h"
#include "ShortcutHelper.h"
#include "TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The Run list and the startup shortcuts, each in a private folder.
class TestAutoStartStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void runKeyKeepsValuesAcrossInstances();
    void startupFolderFollowsTheUserConfiguration_data();
    void startupFolderFollowsTheUserConfiguration();
    void shortcutRunsItsTarget_data();
    void shortcutRunsItsTarget();
    void deletesOnlyAnExistingShortcutFile_data();
    void deletesOnlyAnExistingShortcutFile();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_savedHome;
    QByteArray m_savedConfigHome;
};

void TestAutoStartStore::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_savedHome = qgetenv("HOME");
    m_savedConfigHome = qgetenv("XDG_CONFIG_HOME");
}

void TestAutoStartStore::cleanup()
{
    qputenv("HOME", m_savedHome);
    if (m_savedConfigHome.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", m_savedConfigHome);
    m_dir.reset();
}

void TestAutoStartStore::runKeyKeepsValuesAcrossInstances()
{
    const QString file = m_dir->filePath(QStringLiteral("config/Run.ini"));
    RunKey(file).setValue(QStringLiteral("Korvel"), QStringLiteral("/opt/Korvel Print/Korvel"));
    RunKey(file).setValue(QStringLiteral("Other"), QStringLiteral("/opt/other"));
    QCOMPARE(RunKey(file).value(QStringLiteral("Korvel")), QStringLiteral("/opt/Korvel Print/Korvel"));

    RunKey(file).remove(QStringLiteral("Korvel"));
    RunKey(file).remove(QStringLiteral("Absent"));
    QCOMPARE(RunKey(file).value(QStringLiteral("Korvel")), QString());
    QCOMPARE(RunKey(file).value(QStringLiteral("Other")), QStringLiteral("/opt/other"));

    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir->filePath(QStringLiteral("xdg"))));
    QCOMPARE(RunKey::defaultFilePath(), m_dir->filePath(QStringLiteral("xdg/Korvel/Run.ini")));
}

void TestAutoStartStore::startupFolderFollowsTheUserConfiguration_data()
{
    QTest::addColumn<QString>("configHome");
    QTest::addColumn<QString>("home");
    QTest::addColumn<QString>("expected");

    QTest::newRow("configuration folder") << "/srv/cfg" << "/home/cashier" << "/srv/cfg/autostart";
    QTest::newRow("no configuration folder") << "" << "/home/cashier" << "/home/cashier/.config/autostart";
    QTest::newRow("relative configuration folder") << "cfg" << "/home/cashier" << "/home/cashier/.config/autostart";
}

void TestAutoStartStore::startupFolderFollowsTheUserConfiguration()
{
    QFETCH(QString, configHome);
    QFETCH(QString, home);
    qputenv("XDG_CONFIG_HOME", configHome.toUtf8());
    qputenv("HOME", home.toUtf8());
    QTEST(ShortcutHelper::startupFolder(), "expected");
}

// The desktop runs the Exec line; the shell's double quotes follow the same
// rules, so running the line through sh shows what a logon would start.
void TestAutoStartStore::shortcutRunsItsTarget_data()
{
    QTest::addColumn<QString>("folderName");
    QTest::newRow("plain") << "Korvel";
    QTest::newRow("blanks, dollar, percent, quote, backslash") << "Velmora $HOME 100% \"x\" a\\b";
}

void TestAutoStartStore::shortcutRunsItsTarget()
{
    QFETCH(QString, folderName);
    const QString folder = m_dir->filePath(folderName);
    QVERIFY(QDir().mkpath(folder));
    const QString marker = m_dir->filePath(QStringLiteral("started"));
    const QString target = folder + QStringLiteral("/Korvel");
    QVERIFY(TestSupport::writeFile(target, "#!/bin/sh\nprintf '%s\\n' \"$0\" > '" + marker.toUtf8() + "'\n"));
    QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner);
    const QString link = m_dir->filePath(QStringLiteral("Korvel.desktop"));

    QVERIFY(ShortcutHelper::createShortcut(target, link));

    const QList<QByteArray> lines = TestSupport::readAll(link).split('\n');
    QCOMPARE(lines.value(0), QByteArray("[Desktop Entry]"));
    QVERIFY(lines.contains("Type=Application"));
    QVERIFY(lines.contains("Name=Korvel"));
    QByteArray exec;
    for (const QByteArray &line : lines) {
        if (line.startsWith("Exec="))
            exec = line.mid(5);
    }
    exec.replace("\\\\", "\\").replace("%%", "%");
    QCOMPARE(QProcess::execute(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromUtf8(exec)}), 0);
    QCOMPARE(TestSupport::readAll(marker), target.toUtf8() + '\n');
}

void TestAutoStartStore::deletesOnlyAnExistingShortcutFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("deleted");
    QTest::newRow("file") << "file" << true;
    QTest::newRow("missing") << "missing" << false;
    QTest::newRow("folder") << "folder" << false;
}

void TestAutoStartStore::deletesOnlyAnExistingShortcutFile()
{
    QFETCH(QString, kind);
    const QString link = m_dir->filePath(QStringLiteral("Korvel.desktop"));
    if (kind == QLatin1String("file"))
        QVERIFY(TestSupport::writeFile(link, "[Desktop Entry]\n"));
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(link));
    if (kind == QLatin1String("file"))
        QTest::ignoreMessage(QtDebugMsg, "Shortcut deleted successfully.");

    QTEST(ShortcutHelper::deleteShortcut(link), "deleted");
    QCOMPARE(QFileInfo(link).isDir(), kind == QLatin1String("folder"));
    QVERIFY(kind == QLatin1String("folder") || !QFileInfo::exists(link));
}

QTEST_GUILESS_MAIN(TestAutoStartStore)
#include "tst_autostartstore.moc"
