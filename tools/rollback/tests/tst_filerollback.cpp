#include "tests/support/TestSupport.h"
#include "tools/rollback/FileRollback.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The rollback pass over a service folder as the last installation left it:
// previous versions as name-old files in Updater/.
class TestFileRollback : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rollsBackWhatItCan();
    void leavesARunningProgramAlone();
    void withoutOldFilesNothingChanges();

private:
    QString service(const QString &name) const { return m_dir->filePath(name); }
    QString updater(const QString &name) const { return m_dir->filePath("Updater/" + name); }
    void put(const QString &path, const QByteArray &content);
    QMap<QString, QByteArray> snapshot() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_unwritable;
};

void TestFileRollback::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(QDir().mkpath(m_dir->filePath("Updater")));
}

void TestFileRollback::cleanup()
{
    for (const QString &path : m_unwritable)
        TestSupport::makeWritable(path);
    m_unwritable.clear();
    m_dir.reset();
}

void TestFileRollback::put(const QString &path, const QByteArray &content)
{
    QVERIFY(TestSupport::writeFile(path, content));
}

QMap<QString, QByteArray> TestFileRollback::snapshot() const
{
    QMap<QString, QByteArray> files;
    QDirIterator it(m_dir->path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(m_dir->path()).relativeFilePath(path), TestSupport::readAll(path));
    }
    return files;
}

void TestFileRollback::rollsBackWhatItCan()
{
    put(service("Korvel"), "version 2, a longer program than before");
    put(updater("Korvel-old"), "version 1");
    put(service("PrinterConfig.json"), "{}");
    put(updater("PrinterConfig.json-old"), "{\"old\":1}");
    // The installation added this file: nothing to go back to.
    put(updater("plugin.so-old"), "added");
    // Waiting files of the next installation are not the rollback's.
    put(updater("Updater-new"), "next updater");
    put(service("Korvel-new"), "next service");
    // A file that cannot be rewritten keeps its content, and so does its -old.
    put(service("vorqconfiginfo.conf"), "current");
    put(updater("vorqconfiginfo.conf-old"), "previous");
    QVERIFY(TestSupport::makeUnwritable(service("vorqconfiginfo.conf")));
    m_unwritable << service("vorqconfiginfo.conf");

    QVERIFY(FileRollback().rollBackFiles(m_dir->filePath("Updater")));

    QMap<QString, QByteArray> expected{
        {"Korvel", "version 1"},
        {"PrinterConfig.json", "{\"old\":1}"},
        {"Updater/plugin.so-old", "added"},
        {"Updater/Updater-new", "next updater"},
        {"Korvel-new", "next service"},
        {"vorqconfiginfo.conf", "current"},
        {"Updater/vorqconfiginfo.conf-old", "previous"},
    };
    QCOMPARE(snapshot(), expected);
}

void TestFileRollback::leavesARunningProgramAlone()
{
    const QString program = TestSupport::copyProgram("/bin/sleep", m_dir->path());
    QVERIFY(QFile::rename(program, service("Korvel")));
    const QByteArray running = TestSupport::readAll(service("Korvel"));
    put(updater("Korvel-old"), "version 1");
    put(service("subtitle.conf"), "new");
    put(updater("subtitle.conf-old"), "old");
    QProcess korvel;
    korvel.start(service("Korvel"), {"300"});
    QVERIFY(korvel.waitForStarted());

    QVERIFY(FileRollback().rollBackFiles(m_dir->filePath("Updater")));
    korvel.kill();
    korvel.waitForFinished();

    QCOMPARE(TestSupport::readAll(service("Korvel")), running);
    QCOMPARE(TestSupport::readAll(updater("Korvel-old")), QByteArray("version 1"));
    QCOMPARE(TestSupport::readAll(service("subtitle.conf")), QByteArray("old"));
    QVERIFY(!QFile::exists(updater("subtitle.conf-old")));
}

void TestFileRollback::withoutOldFilesNothingChanges()
{
    put(service("Korvel"), "version 2");
    put(updater("Updater"), "updater");
    put(updater("Updater-new"), "next updater");
    const auto before = snapshot();
    QVERIFY(!FileRollback().rollBackFiles(m_dir->filePath("Updater")));
    QCOMPARE(snapshot(), before);
}

QTEST_GUILESS_MAIN(TestFileRollback)
#include "tst_filerollback.moc"
