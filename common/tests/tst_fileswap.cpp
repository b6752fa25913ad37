#include "common/FileSwap.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

// Source and target in folders of their own, so that either folder can be
// made unwritable. Successful swaps show in the updater replacement tests.
class TestFileSwap : public QObject
{
    Q_OBJECT

private slots:
    void keepsBothWhenOneSideCannotBeWritten_data();
    void keepsBothWhenOneSideCannotBeWritten();
};

void TestFileSwap::keepsBothWhenOneSideCannotBeWritten_data()
{
    QTest::addColumn<QString>("locked");
    QTest::addColumn<bool>("targetExists");

    QTest::newRow("read-only target file") << "b/Updater" << true;
    QTest::newRow("read-only source file") << "a/Updater-new" << true;
    QTest::newRow("read-only target folder") << "b" << true;
    QTest::newRow("read-only source folder") << "a" << true;
    QTest::newRow("read-only folder of a missing target") << "b" << false;
}

void TestFileSwap::keepsBothWhenOneSideCannotBeWritten()
{
    QFETCH(QString, locked);
    QFETCH(bool, targetExists);
    QTemporaryDir dir;
    const QString source = dir.filePath("a/Updater-new"), target = dir.filePath("b/Updater");
    QDir(dir.path()).mkpath("a");
    QDir(dir.path()).mkpath("b");
    TestSupport::writeFile(source, "new program");
    if (targetExists)
        TestSupport::writeFile(target, "old");
    QVERIFY(TestSupport::makeUnwritable(dir.filePath(locked)));

    const bool swapped = swapFileContents(source, target);
    TestSupport::makeWritable(dir.filePath(locked));

    QVERIFY(!swapped);
    QCOMPARE(TestSupport::readAll(source), QByteArray("new program"));
    QCOMPARE(TestSupport::readAll(target), targetExists ? QByteArray("old") : QByteArray());
    // No temporary file is left behind either.
    QCOMPARE(QDir(dir.filePath("a")).entryList(QDir::Files | QDir::Hidden).size(), 1);
    QCOMPARE(QDir(dir.filePath("b")).entryList(QDir::Files | QDir::Hidden).size(), targetExists ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestFileSwap)
#include "tst_fileswap.moc"
