#include "FileSwap.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using TestSupport::readAll;
using TestSupport::writeFile;

class TestFileSwap : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void exchangesBothContents();
    void copiesIntoMissingTarget();
    void leavesEverythingWhenNothingCanBeSwapped_data();
    void leavesEverythingWhenNothingCanBeSwapped();
    void keepsBothWhenOneSideCannotBeWritten_data();
    void keepsBothWhenOneSideCannotBeWritten();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_locked;
};

void TestFileSwap::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QDir(m_dir->path()).mkpath(QStringLiteral("a"));
    QDir(m_dir->path()).mkpath(QStringLiteral("b"));
}

void TestFileSwap::cleanup()
{
    for (const QString &locked : qAsConst(m_locked))
        TestSupport::makeWritable(locked);
    m_locked.clear();
    m_dir.reset();
}

void TestFileSwap::exchangesBothContents()
{
    const QString source = path("a/Updater-new");
    const QString target = path("b/Updater");
    QVERIFY(writeFile(source, "new program"));
    QVERIFY(writeFile(target, "old"));
    QFile::setPermissions(target, QFile::permissions(target) | QFile::ExeOwner);

    QVERIFY(swapFileContents(source, target));

    QCOMPARE(readAll(target), QByteArray("new program"));
    QCOMPARE(readAll(source), QByteArray("old"));
    QVERIFY2(QFile::permissions(target) & QFile::ExeOwner, "a file keeps its own permissions");
    QCOMPARE(QDir(path("a")).entryList(QDir::Files | QDir::Hidden), QStringList{"Updater-new"});
    QCOMPARE(QDir(path("b")).entryList(QDir::Files | QDir::Hidden), QStringList{"Updater"});
}

void TestFileSwap::copiesIntoMissingTarget()
{
    const QString source = path("a/Updater-new");
    const QString target = path("b/Updater");
    QVERIFY(writeFile(source, "new program"));
    QFile::setPermissions(source, QFile::permissions(source) | QFile::ExeOwner);

    QVERIFY(swapFileContents(source, target));

    QCOMPARE(readAll(target), QByteArray("new program"));
    QCOMPARE(readAll(source), QByteArray("new program"));
    QCOMPARE(QFile::permissions(target), QFile::permissions(source));
}

void TestFileSwap::leavesEverythingWhenNothingCanBeSwapped_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");

    QTest::newRow("missing source") << "a/none" << "b/Updater";
    QTest::newRow("source is a folder") << "a" << "b/Updater";
    QTest::newRow("target is a folder") << "b/Updater" << "a";
    QTest::newRow("same file") << "b/Updater" << "b/../b/Updater";
}

void TestFileSwap::leavesEverythingWhenNothingCanBeSwapped()
{
    QFETCH(QString, source);
    QFETCH(QString, target);
    QVERIFY(writeFile(path("a/keep"), "folder content"));
    QVERIFY(writeFile(path("b/Updater"), "program"));

    QVERIFY(!swapFileContents(path(source), path(target)));

    QCOMPARE(readAll(path("a/keep")), QByteArray("folder content"));
    QCOMPARE(readAll(path("b/Updater")), QByteArray("program"));
    QCOMPARE(QDir(path("a")).entryList(QDir::Files | QDir::Hidden), QStringList{"keep"});
    QCOMPARE(QDir(path("b")).entryList(QDir::Files | QDir::Hidden), QStringList{"Updater"});
}

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
    const QString source = path("a/Updater-new");
    const QString target = path("b/Updater");
    QVERIFY(writeFile(source, "new program"));
    if (targetExists)
        QVERIFY(writeFile(target, "old"));
    QVERIFY(TestSupport::makeUnwritable(path(locked)));
    m_locked << path(locked);

    QVERIFY(!swapFileContents(source, target));

    QCOMPARE(readAll(source), QByteArray("new program"));
    QCOMPARE(QFileInfo::exists(target), targetExists);
    if (targetExists)
        QCOMPARE(readAll(target), QByteArray("old"));
    // No temporary file is left behind in either folder.
    QCOMPARE(QDir(path("a")).entryList(QDir::Files | QDir::Hidden), QStringList{"Updater-new"});
    QCOMPARE(QDir(path("b")).entryList(QDir::Files | QDir::Hidden).size(), targetExists ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestFileSwap)
#include "tst_fileswap.moc"
