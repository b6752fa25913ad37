#include "updater/NewFileInstaller.h"

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using Files = QMap<QString, QByteArray>;

class TestNewFileInstaller : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void installs_data();
    void installs();
    void hasPendingNewFiles_data();
    void hasPendingNewFiles();
    void keepsPermissions();
    void leavesRunningProgramAlone();

private:
    void put(const QString &folder, const Files &files);
    Files filesIn(const QString &folder) const;

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_service;
    QString m_updater;
    NewFileInstaller m_installer;
};

void TestNewFileInstaller::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    m_service = m_root->filePath("service");
    m_updater = m_service + "/Updater";
    QVERIFY(QDir().mkpath(m_updater));
}

void TestNewFileInstaller::put(const QString &folder, const Files &files)
{
    for (auto it = files.begin(); it != files.end(); ++it)
        QVERIFY(TestSupport::writeFile(folder + "/" + it.key(), it.value()));
}

Files TestNewFileInstaller::filesIn(const QString &folder) const
{
    Files files;
    for (const QString &name : QDir(folder).entryList(QDir::Files | QDir::Hidden))
        files.insert(name, TestSupport::readAll(folder + "/" + name));
    return files;
}

void TestNewFileInstaller::installs_data()
{
    QTest::addColumn<Files>("service");
    QTest::addColumn<Files>("updater");
    QTest::addColumn<Files>("serviceAfter");
    QTest::addColumn<Files>("updaterAfter");

    QTest::newRow("service program") << Files{{"Korvel", "old"}} << Files{{"Korvel-new", "new"}}
                                     << Files{{"Korvel", "new"}} << Files{{"Korvel-old", "old"}};
    QTest::newRow("file new to the service folder")
        << Files{} << Files{{"extra.txt-new", "x"}} << Files{{"extra.txt", "x"}} << Files{{"extra.txt-old", "x"}};
    QTest::newRow("second installation replaces -old")
        << Files{{"Korvel", "v2"}} << Files{{"Korvel-new", "v3"}, {"Korvel-old", "v1"}} << Files{{"Korvel", "v3"}}
        << Files{{"Korvel-old", "v2"}};
    QTest::newRow("new Updater left for the service")
        << Files{{"Korvel", "old"}} << Files{{"Korvel-new", "new"}, {"Updater", "u1"}, {"Updater-new", "u2"}}
        << Files{{"Korvel", "new"}} << Files{{"Korvel-old", "old"}, {"Updater", "u1"}, {"Updater-new", "u2"}};
}

void TestNewFileInstaller::installs()
{
    QFETCH(Files, service);
    QFETCH(Files, updater);
    QFETCH(Files, serviceAfter);
    QFETCH(Files, updaterAfter);
    put(m_service, service);
    put(m_updater, updater);

    QVERIFY(m_installer.installNewFiles(m_updater));
    QCOMPARE(filesIn(m_service), serviceAfter);
    QCOMPARE(filesIn(m_updater), updaterAfter);
}

void TestNewFileInstaller::hasPendingNewFiles_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("pending");

    QTest::newRow("none") << QStringList{"Korvel-old", "Update.conf"} << false;
    QTest::newRow("lone new Updater") << QStringList{"Updater-new"} << false;
    QTest::newRow("service program") << QStringList{"Korvel-new"} << true;
    QTest::newRow("new Updater and more") << QStringList{"Updater-new", "Korvel-new"} << true;
    QTest::newRow("name differs in case") << QStringList{"updater-new"} << true;
    QTest::newRow("empty file") << QStringList{"Korvel-new="} << false;
}

void TestNewFileInstaller::hasPendingNewFiles()
{
    QFETCH(QStringList, names);
    QFETCH(bool, pending);
    for (const QString &name : names) // "name=" is an empty file
        QVERIFY(TestSupport::writeFile(m_updater + "/" + name.section('=', 0, 0), name.endsWith('=') ? "" : "x"));
    QCOMPARE(m_installer.hasPendingNewFiles(m_updater), pending);
}

// The installed program stays executable; a file new to the service folder
// takes the mode its "-new" file got from the package.
void TestNewFileInstaller::keepsPermissions()
{
    put(m_service, {{"Korvel", "old"}});
    put(m_updater, {{"Korvel-new", "new"}, {"tool-new", "t"}});
    QFile::setPermissions(m_service + "/Korvel", QFile::Permissions(0x7755));
    QFile::setPermissions(m_updater + "/Korvel-new", QFile::Permissions(0x6644));
    QFile::setPermissions(m_updater + "/tool-new", QFile::Permissions(0x7750));

    QVERIFY(m_installer.installNewFiles(m_updater));
    QCOMPARE(QFileInfo(m_service + "/Korvel").permissions(), QFile::Permissions(0x7755));
    QCOMPARE(QFileInfo(m_service + "/tool").permissions(), QFile::Permissions(0x7750));
}

// A running program cannot be opened for writing, so it keeps its bytes
// even though a rename could replace it.
void TestNewFileInstaller::leavesRunningProgramAlone()
{
    const QString program = TestSupport::copyProgram("/bin/sleep", m_service);
    QVERIFY(QFile::rename(program, m_service + "/Korvel"));
    const QByteArray running = TestSupport::readAll(m_service + "/Korvel");
    put(m_updater, {{"Korvel-new", "new"}, {"Korvel-old", "previous"}});
    QProcess sleeper;
    sleeper.start(m_service + "/Korvel", {"30"});
    QVERIFY(sleeper.waitForStarted());

    QVERIFY(m_installer.installNewFiles(m_updater));
    sleeper.kill();
    sleeper.waitForFinished();
    QCOMPARE(TestSupport::readAll(m_service + "/Korvel"), running);
    QCOMPARE(filesIn(m_updater), (Files{{"Korvel-old", "new"}}));
}

QTEST_GUILESS_MAIN(TestNewFileInstaller)
#include "tst_NewFileInstaller.moc"
