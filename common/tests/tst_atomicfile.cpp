#include "common/AtomicFile.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestAtomicFile : public QObject
{
    Q_OBJECT

private slots:
    void replacesContentAndKeepsPermissions();
    void failureLeavesOldFileAndNoTemporary();
};

void TestAtomicFile::replacesContentAndKeepsPermissions()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Update.conf");
    QVERIFY(TestSupport::writeFile(path, QByteArray(5000, 'x')));
    const QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup;
    QVERIFY(QFile::setPermissions(path, permissions));

    QVERIFY(AtomicFile::write(path, "{}\n"));
    QCOMPARE(TestSupport::readAll(path), QByteArray("{}\n"));
    QCOMPARE(int(QFile::permissions(path) & 0x7077), int(permissions));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Update.conf"});
}

void TestAtomicFile::failureLeavesOldFileAndNoTemporary()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("RoomArea.json");
    QVERIFY(TestSupport::writeFile(path, "old"));
    // No new file can be made beside the target.
    QVERIFY(TestSupport::makeUnwritable(dir.path()));
    QString error;
    const bool written = AtomicFile::write(path, "new", &error);
    QVERIFY(TestSupport::makeWritable(dir.path()));

    QVERIFY(!written);
    QVERIFY(!error.isEmpty());
    QCOMPARE(TestSupport::readAll(path), QByteArray("old"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"RoomArea.json"});
}

QTEST_GUILESS_MAIN(TestAtomicFile)
#include "tst_atomicfile.moc"
