#include "TestSupport.h"
#include "UpdaterFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

using Tree = QMap<QString, QByteArray>; // relative path -> content; folders end in "/"
Q_DECLARE_METATYPE(Tree)

namespace {

void build(const QString &root, const Tree &tree)
{
    for (auto it = tree.cbegin(); it != tree.cend(); ++it) {
        const QString path = root + QLatin1Char('/') + it.key();
        if (it.key().endsWith(QLatin1Char('/'))) {
            QDir().mkpath(path);
        } else {
            QDir().mkpath(QFileInfo(path).path());
            TestSupport::writeFile(path, it.value());
        }
    }
}

Tree snapshot(const QString &root)
{
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isDir())
            tree.insert(relative + QLatin1Char('/'), QByteArray());
        else
            tree.insert(relative, TestSupport::readAll(path));
    }
    return tree;
}

} // namespace

// The replacement step on a real install folder. Without an executable
// suffix the stray updater's path is the updater folder; with ".exe" both
// can exist, so the order of the step shows.
class TestUpdaterFiles : public QObject
{
    Q_OBJECT

private slots:
    void appliesWaitingUpdaters_data();
    void appliesWaitingUpdaters();
};

void TestUpdaterFiles::appliesWaitingUpdaters_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<Tree>("before");
    QTest::addColumn<QString>("locked");
    QTest::addColumn<Tree>("after");

    const Tree install{{"Korvel", "service"}, {"Updater/", ""}, {"Updater/Updater", "old"}, {"Updater/Update.conf", "{}"}};
    QTest::newRow("ordinary install is left alone") << "" << install << "" << install;

    Tree waiting = install;
    waiting.insert("Updater/Updater-new", "new");
    Tree applied = install;
    applied.insert("Updater/Updater", "new");
    QTest::newRow("new updater applied") << "" << waiting << "" << applied;

    QTest::newRow("missing updater created")
        << "" << Tree{{"Updater/Updater-new", "new"}} << "" << Tree{{"Updater/", ""}, {"Updater/Updater", "new"}};

    QTest::newRow("updater that cannot be replaced keeps the new one waiting")
        << "" << waiting << "Updater/Updater" << waiting;

    const Tree folderNamedLikeNew{{"Updater/", ""}, {"Updater/Updater", "old"}, {"Updater/Updater-new/", ""}};
    QTest::newRow("folder named like the new updater") << "" << folderNamedLikeNew << "" << folderNamedLikeNew;

    const Tree fileWhereFolderBelongs{{"Updater", "stray"}};
    QTest::newRow("stray file where the updater folder belongs")
        << "" << fileWhereFolderBelongs << "" << fileWhereFolderBelongs;

    QTest::newRow("stray and new, new wins")
        << ".exe"
        << Tree{{"Updater.exe", "stray"}, {"Updater/", ""}, {"Updater/Updater.exe", "old"}, {"Updater/Updater.exe-new", "new"}} << ""
        << Tree{{"Updater/", ""}, {"Updater/Updater.exe", "new"}};

    QTest::newRow("stray without updater folder")
        << ".exe" << Tree{{"Updater.exe", "stray"}} << "" << Tree{{"Updater/", ""}, {"Updater/Updater.exe", "stray"}};
}

void TestUpdaterFiles::appliesWaitingUpdaters()
{
    QFETCH(QString, suffix);
    QFETCH(Tree, before);
    QFETCH(QString, locked);
    QFETCH(Tree, after);
    QTemporaryDir dir;
    build(dir.path(), before);
    if (!locked.isEmpty())
        QVERIFY(TestSupport::makeUnwritable(dir.filePath(locked)));

    const CUpdaterFiles files(dir.path(), suffix);
    files.applyWaitingUpdaters();
    files.applyWaitingUpdaters(); // a second look finds nothing more to do

    if (!locked.isEmpty())
        TestSupport::makeWritable(dir.filePath(locked));
    QCOMPARE(snapshot(dir.path()), after);
}

QTEST_GUILESS_MAIN(TestUpdaterFiles)
#include "tst_updaterfiles.moc"
