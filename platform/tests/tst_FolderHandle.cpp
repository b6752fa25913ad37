#include "platform/FolderHandle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

// Removal through an open folder: links are removed, never followed, and
// whatever another mount brings into the folder stays.
class TestFolderHandle : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void removesOnlyWhatIsInside_data();
    void removesOnlyWhatIsInside();

private:
    bool m_canMount = false;
};

// Mounts made here stay in this test's own mount namespace.
void TestFolderHandle::initTestCase()
{
    m_canMount = ::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0
                 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

static bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

void TestFolderHandle::removesOnlyWhatIsInside_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("removed");
    QTest::addColumn<QString>("reasonNames"); // part of the path the reason must name

    QTest::newRow("nested folders, links inside") << "links" << true << "";
    QTest::newRow("bind mount inside") << "bind" << false << "pkg/logs";
    QTest::newRow("file system mounted inside") << "tmpfs" << false << "pkg/a/b";
    QTest::newRow("folder swapped for a link after opening") << "swap" << false << "pkg";
}

void TestFolderHandle::removesOnlyWhatIsInside()
{
    QFETCH(QString, setup);
    QFETCH(bool, removed);
    QFETCH(QString, reasonNames);
    if ((setup == "bind" || setup == "tmpfs") && !m_canMount)
        QSKIP("mounting needs root and a mount namespace of our own");
    QTemporaryDir dir;
    const QString pkg = dir.filePath("pkg"), outside = dir.filePath("outside");
    QVERIFY(QDir().mkpath(pkg + "/a/b/c") && QDir().mkpath(pkg + "/logs") && QDir().mkpath(outside + "/sub"));
    QVERIFY(writeFile(pkg + "/Korvel", "service") && writeFile(pkg + "/a/b/c/deep.txt", "deep"));
    QVERIFY(writeFile(outside + "/keep.txt", "keep") && writeFile(outside + "/sub/keep2.txt", "keep"));
    QVERIFY(QFile::link(outside, pkg + "/a/to-outside") && QFile::link(outside + "/keep.txt", pkg + "/file-link"));

    QByteArray unmount;
    if (setup == "bind") {
        QCOMPARE(::mount(QFile::encodeName(outside).constData(), QFile::encodeName(pkg + "/logs").constData(),
                         nullptr, MS_BIND, nullptr),
                 0);
        unmount = QFile::encodeName(pkg + "/logs");
    } else if (setup == "tmpfs") {
        QCOMPARE(::mount("tmpfs", QFile::encodeName(pkg + "/a/b").constData(), "tmpfs", 0, nullptr), 0);
        QVERIFY(writeFile(pkg + "/a/b/on-tmpfs.txt", "other file system"));
        unmount = QFile::encodeName(pkg + "/a/b");
    }

    FolderHandle folder(pkg);
    QVERIFY2(folder.isOpen(), qPrintable(folder.error()));
    QVERIFY(folder.holdsFile("Korvel"));
    QVERIFY(!folder.holdsFile("file-link"));
    QVERIFY(!folder.holdsFile("a/to-outside/keep.txt"));
    if (setup == "swap") {
        QVERIFY(QFile::rename(pkg, dir.filePath("moved")));
        QVERIFY(QFile::link(outside, pkg));
        QVERIFY(!folder.isStillAtPath());
    }

    QCOMPARE(folder.removeAll(), removed);
    if (!removed)
        QVERIFY2(folder.error().contains(dir.filePath(reasonNames)), qPrintable(folder.error()));
    QCOMPARE(QFileInfo::exists(pkg), !removed);
    for (const char *kept : {"outside/keep.txt", "outside/sub/keep2.txt"})
        QVERIFY2(QFileInfo::exists(dir.filePath(kept)), kept);
    if (setup == "tmpfs")
        QVERIFY(QFileInfo::exists(pkg + "/a/b/on-tmpfs.txt"));
    if (setup == "swap")
        QVERIFY(QFileInfo::exists(dir.filePath("moved/a/b/c/deep.txt")));
    if (setup == "bind" || setup == "tmpfs")
        QVERIFY(!QFileInfo::exists(pkg + "/Korvel")); // the rest went
    if (!unmount.isEmpty())
        QCOMPARE(::umount(unmount.constData()), 0);
}

QTEST_GUILESS_MAIN(TestFolderHandle)

#include "tst_FolderHandle.moc"
