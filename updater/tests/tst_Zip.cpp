#include "updater/Zip.h"
#include "updater/ZipResponse.h"

#include "updater/tests/PackageMaker.h"
#include "tests/support/TestSupport.h"

#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// A service folder with its Updater folder inside a scratch folder, so that
// anything written outside the Updater folder is still found.
class TestZip : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void unpacksEveryFileAsNew();
    void refusesPackage_data();
    void refusesPackage();

private:
    bool unpack(const QString &package);
    QStringList newFilesUnder(const QString &folder) const;

    std::unique_ptr<QTemporaryDir> m_root;
    QString m_updater;
    QList<QList<QVariant>> m_progress;
};

void TestZip::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    m_updater = m_root->filePath("service/Updater");
    QVERIFY(QDir().mkpath(m_updater + "/qml"));
}

bool TestZip::unpack(const QString &package)
{
    ZipResponse *response = Zip::decompressionAsync(package, m_updater);
    QSignalSpy progress(response, &ZipResponse::progress);
    QSignalSpy finished(response, &ZipResponse::finished);
    const bool done = finished.wait(10000);
    m_progress = progress;
    delete response;
    return done && finished.first().first().toBool();
}

QStringList TestZip::newFilesUnder(const QString &folder) const
{
    QStringList found;
    QDirIterator it(folder, {"*-new"}, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        found << it.next();
    return found;
}

void TestZip::unpacksEveryFileAsNew()
{
    const QString package = m_updater + "/update.zip";
    QVERIFY(PackageMaker::make(package, {PackageMaker::file("Korvel", "new service", 0755),
                                         QJsonObject{{"name", "qml/"}}, PackageMaker::file("qml/main.qml", "Item {}"),
                                         PackageMaker::file("Updater", QByteArray(200000, 'u'), 0755),
                                         // read back as "Korvel": empty files are never written
                                         PackageMaker::file("/Korvel", "")}));

    QVERIFY(unpack(package));
    QCOMPARE(TestSupport::readAll(m_updater + "/Korvel-new"), QByteArray("new service"));
    QCOMPARE(TestSupport::readAll(m_updater + "/qml/main.qml-new"), QByteArray("Item {}"));
    QCOMPARE(TestSupport::readAll(m_updater + "/Updater-new"), QByteArray(200000, 'u'));
    QVERIFY(QFileInfo(m_updater + "/Korvel-new").isExecutable());
    QVERIFY(!QFileInfo(m_updater + "/qml/main.qml-new").isExecutable());
    QVERIFY(!QFile::exists(package));
    QCOMPARE(m_progress.size(), 5);
    QCOMPARE(m_progress.last(), (QList<QVariant>{5, 5}));
}

// Each package starts with a good entry, which must not survive the failure.
void TestZip::refusesPackage_data()
{
    QTest::addColumn<QJsonObject>("entry");
    QTest::addColumn<bool>("truncate");

    const QString outside = QDir::tempPath() + "/korvel-zip-" + QString::number(QCoreApplication::applicationPid());
    QTest::newRow("missing sub-folder") << PackageMaker::file("lib/x", "x") << false;
    QTest::newRow("parent") << PackageMaker::file("../x", "x") << false;
    QTest::newRow("absolute") << PackageMaker::file(outside, "x") << false;
    QTest::newRow("up and out") << PackageMaker::file("qml/../../x", "x") << false;
    QTest::newRow("backslash parent") << PackageMaker::file("..\\x", "x") << false;
    QTest::newRow("link entry") << PackageMaker::link("evil", "/etc/passwd") << false;
    QTest::newRow("through a linked folder") << PackageMaker::file("out/x", "x") << false;
    QTest::newRow("truncated archive") << PackageMaker::file("Updater", QByteArray(5000, 'u')) << true;
}

void TestZip::refusesPackage()
{
    QFETCH(QJsonObject, entry);
    QFETCH(bool, truncate);
    QVERIFY(QFile::link(m_root->path(), m_updater + "/out"));
    const QString package = m_updater + "/update.zip";
    QVERIFY(PackageMaker::make(package, {PackageMaker::file("Korvel", "new service", 0755), entry}));
    if (truncate)
        QVERIFY(QFile::resize(package, QFileInfo(package).size() / 2));

    QVERIFY(!unpack(package));
    QVERIFY(!QFile::exists(package));
    QCOMPARE(newFilesUnder(m_root->path()), QStringList());
    QVERIFY(!QFile::exists(entry["name"].toString() + "-new"));
    QCOMPARE(QDir(m_root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"service"});
}

QTEST_GUILESS_MAIN(TestZip)
#include "tst_Zip.moc"
