#include "tests/support/TestSupport.h"
#include "updater/StagedPackage.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

// name -> content; "->outside" is a symbolic link to a file outside the
// installation.
using Files = QMap<QString, QByteArray>;

// The staged installation as a killed or repeated run meets it: a service
// folder, its Updater folder and the staging folder below that.
class TestStagedPackage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_dir.reset(); }
    void installs_data();
    void installs();
    void modes_data();
    void modes();
    void onlyASealedSetIsPending();

private:
    QString root() const { return m_dir->path(); }
    QString outsideFile() const { return m_outside.filePath("outside"); }
    QString updaterFolder() const { return m_dir->filePath("Updater"); }
    void put(const QString &folder, const Files &files);
    void stage(const Files &files, const QStringList &manifest);
    Files snapshot() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QTemporaryDir m_outside;
};

void TestStagedPackage::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(updaterFolder() + "/staging"));
}

void TestStagedPackage::put(const QString &folder, const Files &files)
{
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString path = folder + "/" + it.key();
        if (it.value() == "->outside")
            QVERIFY(QFile::link(outsideFile(), path));
        else
            QVERIFY(TestSupport::writeFile(path, it.value()));
    }
}

// A manifest written by hand: it may name files a killed run already moved.
void TestStagedPackage::stage(const Files &files, const QStringList &manifest)
{
    Files staged;
    for (auto it = files.begin(); it != files.end(); ++it)
        staged.insert(it.key() + "-new", it.value());
    put(updaterFolder() + "/staging", staged);
    const QJsonObject object{{"version", "2"}, {"files", QJsonArray::fromStringList(manifest)}};
    QVERIFY(TestSupport::writeFile(updaterFolder() + "/staging/manifest.json", QJsonDocument(object).toJson()));
}

Files TestStagedPackage::snapshot() const
{
    Files files;
    QDirIterator it(root(), QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString name = QDir(root()).relativeFilePath(path);
        const QFileInfo info(path);
        const bool outside = info.isSymLink() && info.symLinkTarget() == outsideFile();
        files.insert(name, outside ? "->outside" : TestSupport::readAll(path));
    }
    return files;
}

void TestStagedPackage::installs_data()
{
    QTest::addColumn<Files>("service");
    QTest::addColumn<Files>("updater");
    QTest::addColumn<Files>("staged");
    QTest::addColumn<QStringList>("manifest");
    QTest::addColumn<Files>("expected"); // the whole tree after, staging gone

    QTest::newRow("replaced file kept as -old, added file without one")
        << Files{{"Korvel", "v1"}} << Files{{"notes.txt-old", "stale"}}
        << Files{{"Korvel", "v2"}, {"notes.txt", "new"}} << QStringList{"Korvel", "notes.txt"}
        << Files{{"Korvel", "v2"}, {"notes.txt", "new"}, {"Updater/Korvel-old", "v1"}};
    QTest::newRow("new Updater waits beside the running one")
        << Files{{"Korvel", "v1"}} << Files{{"Updater", "u1"}} << Files{{"Updater", "u2"}, {"Korvel", "v2"}}
        << QStringList{"Korvel", "Updater"}
        << Files{{"Korvel", "v2"}, {"Updater/Korvel-old", "v1"}, {"Updater/Updater", "u1"}, {"Updater/Updater-new", "u2"}};
    // Killed between keeping the old file and the rename: the old file is
    // kept again, not the new one.
    QTest::newRow("resumed after the old file was kept")
        << Files{{"Korvel", "v1"}} << Files{{"Korvel-old", "v1"}} << Files{{"Korvel", "v2"}} << QStringList{"Korvel"}
        << Files{{"Korvel", "v2"}, {"Updater/Korvel-old", "v1"}};
    // Killed after the first file: its -old keeps the old content.
    QTest::newRow("resumed after the first file")
        << Files{{"Korvel", "v2"}, {"Tamrow", "t1"}} << Files{{"Korvel-old", "v1"}} << Files{{"Tamrow", "t2"}}
        << QStringList{"Korvel", "Tamrow"}
        << Files{{"Korvel", "v2"}, {"Tamrow", "t2"}, {"Updater/Korvel-old", "v1"}, {"Updater/Tamrow-old", "t1"}};
    QTest::newRow("link replaced, never written through")
        << Files{{"Selvane", "->outside"}} << Files{} << Files{{"Selvane", "new"}} << QStringList{"Selvane"}
        << Files{{"Selvane", "new"}, {"Updater/Selvane-old", "->outside"}};
}

void TestStagedPackage::installs()
{
    QFETCH(Files, service);
    QFETCH(Files, updater);
    QFETCH(Files, staged);
    QFETCH(QStringList, manifest);
    QFETCH(Files, expected);

    QVERIFY(TestSupport::writeFile(outsideFile(), "outside"));
    put(root(), service);
    put(updaterFolder(), updater);
    stage(staged, manifest);

    const StagedPackage package(updaterFolder());
    QVERIFY(package.isPending());
    QList<StagedPackage::FileResult> results;
    QVERIFY(package.install(&results));
    QCOMPARE(results.size(), manifest.size());
    package.finish();

    QCOMPARE(snapshot(), expected);
    QCOMPARE(TestSupport::readAll(outsideFile()), QByteArray("outside"));
    QVERIFY(!package.isPending());
}

void TestStagedPackage::modes_data()
{
    QTest::addColumn<int>("archiveMode");
    QTest::addColumn<int>("replacedMode"); // 0: nothing replaced
    QTest::addColumn<int>("installedMode");

    QTest::newRow("world-writable from the archive") << 0666 << 0 << 0644;
    QTest::newRow("program without its bit replaces a program") << 0644 << 0755 << 0755;
    QTest::newRow("archive marks it executable") << 0764 << 0644 << 0755;
    QTest::newRow("group-writable program") << 0775 << 0 << 0755;
}

// A Unix mode as Qt's permission flags (the user's bits are the owner's).
static QFile::Permissions permissionsOf(int mode)
{
    return QFile::Permissions(((mode & 0700) << 6) | ((mode & 0700) << 2) | ((mode & 070) << 1) | (mode & 07));
}

void TestStagedPackage::modes()
{
    QFETCH(int, archiveMode);
    QFETCH(int, replacedMode);
    QFETCH(int, installedMode);

    const QString staged = updaterFolder() + "/staging/tool-new";
    QVERIFY(TestSupport::writeFile(staged, "new"));
    QVERIFY(QFile(staged).setPermissions(permissionsOf(archiveMode)));
    if (replacedMode != 0) {
        QVERIFY(TestSupport::writeFile(root() + "/tool", "old"));
        QVERIFY(QFile(root() + "/tool").setPermissions(permissionsOf(replacedMode)));
    }
    const StagedPackage package(updaterFolder());
    QString error;
    QVERIFY2(package.seal(2, &error), qPrintable(error));
    QList<StagedPackage::FileResult> results;
    QVERIFY(package.install(&results));

    const QFile::Permissions permissions = QFileInfo(root() + "/tool").permissions();
    const int mode = ((permissions & 0x7000) >> 6) | ((permissions & 0x70) >> 1) | (permissions & 0x7);
    QCOMPARE(QString::number(mode, 8), QString::number(installedMode, 8));
}

// Only the manifest, written last, makes a staged set pending; the remains
// of an interrupted unpacking are thrown away.
void TestStagedPackage::onlyASealedSetIsPending()
{
    const StagedPackage package(updaterFolder());
    QString error;
    QVERIFY(!package.seal(2, &error)); // nothing staged
    QVERIFY(TestSupport::writeFile(updaterFolder() + "/staging/Korvel-new", "v2"));
    QVERIFY(!package.isPending());
    package.removeUnfinished();
    QVERIFY(!QFileInfo::exists(package.folder()));

    // A file cannot take a folder's place.
    QVERIFY(package.prepare());
    QVERIFY(QDir().mkpath(root() + "/logs"));
    QVERIFY(TestSupport::writeFile(updaterFolder() + "/staging/logs-new", "not a folder"));
    QVERIFY(!package.seal(7, &error));
    QVERIFY(!package.isPending());

    QVERIFY(package.prepare());
    QVERIFY(TestSupport::writeFile(updaterFolder() + "/staging/Korvel-new", "v2"));
    QVERIFY(package.seal(7, &error));
    package.removeUnfinished();
    QVERIFY(package.isPending());
    QCOMPARE(package.version(), 7u);
    QCOMPARE(package.files(), QStringList{"Korvel"});
}

QTEST_GUILESS_MAIN(TestStagedPackage)
#include "tst_StagedPackage.moc"
