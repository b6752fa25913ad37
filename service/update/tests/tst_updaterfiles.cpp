#include "service/update/UpdaterFiles.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

using Tree = QMap<QString, QByteArray>; // relative path -> content; folders end in "/"
Q_DECLARE_METATYPE(Tree)

namespace {

Tree snapshot(const QString &root)
{
    Tree tree;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(root).relativeFilePath(it.next());
        if (it.fileInfo().isDir())
            tree.insert(relative + QLatin1Char('/'), QByteArray());
        else
            tree.insert(relative, TestSupport::readAll(it.filePath()));
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
    Tree waiting = install;
    waiting.insert("Updater/Updater-new", "new");
    Tree applied = install;
    applied.insert("Updater/Updater", "new");

    QTest::newRow("ordinary install is left alone") << "" << install << "" << install;
    QTest::newRow("new updater applied") << "" << waiting << "" << applied;
    QTest::newRow("missing updater created") << "" << Tree{{"Updater/", ""}, {"Updater/Updater-new", "new"}} << ""
                                             << Tree{{"Updater/", ""}, {"Updater/Updater", "new"}};
    QTest::newRow("new updater that cannot be applied stays") << "" << waiting << "Updater/Updater" << waiting;
    QTest::newRow("stray file where the folder belongs") << "" << Tree{{"Updater", "x"}} << "" << Tree{{"Updater", "x"}};
    QTest::newRow("stray and new, new wins")
        << ".exe"
        << Tree{{"Updater.exe", "stray"}, {"Updater/", ""}, {"Updater/Updater.exe", "old"}, {"Updater/Updater.exe-new", "new"}}
        << "" << Tree{{"Updater/", ""}, {"Updater/Updater.exe", "new"}};
}

void TestUpdaterFiles::appliesWaitingUpdaters()
{
    QFETCH(QString, suffix);
    QFETCH(Tree, before);
    QFETCH(QString, locked);
    QTemporaryDir dir;
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (it.key().endsWith(QLatin1Char('/')))
            QDir(dir.path()).mkpath(it.key());
        else
            TestSupport::writeFile(dir.filePath(it.key()), it.value());
    }
    if (!locked.isEmpty())
        QVERIFY(TestSupport::makeUnwritable(dir.filePath(locked)));

    const CUpdaterFiles files(dir.path(), suffix);
    files.applyWaitingUpdaters();
    files.applyWaitingUpdaters(); // a second look finds nothing more to do

    if (!locked.isEmpty())
        TestSupport::makeWritable(dir.filePath(locked));
    QTEST(snapshot(dir.path()), "after");
}

QTEST_GUILESS_MAIN(TestUpdaterFiles)
#include "tst_updaterfiles.moc"
