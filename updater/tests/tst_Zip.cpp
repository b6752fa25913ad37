#include "updater/Zip.h"
#include "updater/ZipResponse.h"

#include "updater/tests/PackageMaker.h"
#include "tests/support/TestSupport.h"

#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

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
    void writesSafeModes_data();
    void writesSafeModes();
    void unpacksLargePackageInBoundedMemory();

private:
    bool unpack(const QString &package, int timeoutMs = 10000, const QStringList &refusedNames = {});
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

bool TestZip::unpack(const QString &package, int timeoutMs, const QStringList &refusedNames)
{
    ZipResponse *response = Zip::decompressionAsync(package, m_updater, refusedNames);
    QSignalSpy progress(response, &ZipResponse::progress);
    QSignalSpy finished(response, &ZipResponse::finished);
    const bool done = finished.wait(timeoutMs);
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
    // 10 MB of zeros deflate to about 10 KB.
    QTest::newRow("zip bomb declared small") << QJsonObject{{"name", "Updater"}, {"zeros", 10000000}, {"declared", 16}}
                                             << false;
    QTest::newRow("zip bomb declared honestly") << QJsonObject{{"name", "Updater"}, {"zeros", 10000000}} << false;
    QTest::newRow("declares more than it holds")
        << QJsonObject{{"name", "Updater"}, {"data", "abc"}, {"declared", 10}} << false;
    QTest::newRow("stored, declares more than it holds")
        << QJsonObject{{"name", "Updater"}, {"data", "abc"}, {"stored", true}, {"declared", 10}} << false;
    QTest::newRow("refused name") << PackageMaker::file("Update.conf", "{}") << false;
    QTest::newRow("refused name in a folder") << PackageMaker::file("qml/Update.conf", "{}") << false;
    QTest::newRow("refused name, dotted") << PackageMaker::file("./Update.conf-new", "{}") << false;
    QTest::newRow("refused name, backslashes") << PackageMaker::file("qml\\Update.conf", "{}") << false;
    QTest::newRow("declares less than it holds")
        << QJsonObject{{"name", "Updater"}, {"data", QString(5000, 'u')}, {"declared", 4000}} << false;
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

    // As the updater asks when its settings hold a publisher's key.
    QVERIFY(!unpack(package, 10000, {"Update.conf", "Update.conf-new"}));
    QVERIFY(!QFile::exists(package));
    QCOMPARE(newFilesUnder(m_root->path()), QStringList());
    QVERIFY(!QFile::exists(entry["name"].toString() + "-new"));
    QCOMPARE(QDir(m_root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"service"});
    // No temporary file of an entry stays behind either.
    QCOMPARE(QDir(m_updater).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
             (QStringList{"out", "qml"}));
}

// Under an empty umask, so only the unpacker decides.
void TestZip::writesSafeModes_data()
{
    QTest::addColumn<QJsonObject>("entry");
    QTest::addColumn<int>("mode");

    QTest::newRow("program") << PackageMaker::file("Korvel", "x", 0755) << 0755;
    QTest::newRow("plain file") << PackageMaker::file("Korvel", "x", 0644) << 0644;
    QTest::newRow("world-writable") << PackageMaker::file("Korvel", "x", 0777) << 0755;
    QTest::newRow("group-writable") << PackageMaker::file("Korvel", "x", 0664) << 0644;
    QTest::newRow("private") << PackageMaker::file("Korvel", "x", 0600) << 0600;
    QTest::newRow("owner-only program") << PackageMaker::file("Korvel", "x", 0700) << 0700;
    QTest::newRow("set-user-id") << PackageMaker::file("Korvel", "x", 04755) << 0755;
    QTest::newRow("unreadable") << PackageMaker::file("Korvel", "x", 0) << 0600;
    QTest::newRow("no Unix mode") << QJsonObject{{"name", "Korvel"}, {"data", "x"}, {"dos", true}} << 0644;
}

void TestZip::writesSafeModes()
{
    QFETCH(QJsonObject, entry);
    QFETCH(int, mode);
    const QString package = m_updater + "/update.zip";
    QVERIFY(PackageMaker::make(package, {entry}));

    const mode_t oldMask = umask(0);
    const bool done = unpack(package);
    umask(oldMask);
    QVERIFY(done);
    struct stat info;
    QCOMPARE(stat(QFile::encodeName(m_updater + "/Korvel-new").constData(), &info), 0);
    QCOMPARE(QString::number(info.st_mode & 07777, 8), QString::number(mode, 8));
}

// A gigabyte stored uncompressed, in two entries below the per-entry bound.
void TestZip::unpacksLargePackageInBoundedMemory()
{
    constexpr qint64 EntryBytes = qint64(500) << 20;
    const QString package = m_updater + "/update.zip";
    QVERIFY(PackageMaker::make(package, {QJsonObject{{"name", "Korvel"}, {"zeros", EntryBytes}, {"stored", true}},
                                         QJsonObject{{"name", "Updater"}, {"zeros", EntryBytes}, {"stored", true}}}));
    // Starts the peak-memory count afresh.
    QVERIFY(TestSupport::writeFile("/proc/self/clear_refs", "5"));

    QVERIFY(unpack(package, 240000));
    QCOMPARE(QFileInfo(m_updater + "/Korvel-new").size(), EntryBytes);
    QCOMPARE(QFileInfo(m_updater + "/Updater-new").size(), EntryBytes);
    const QByteArray status = TestSupport::readAll("/proc/self/status");
    const QRegularExpressionMatch peak = QRegularExpression("VmHWM:\\s+(\\d+) kB").match(QString::fromLatin1(status));
    QVERIFY(peak.hasMatch());
    const qint64 peakKiB = peak.captured(1).toLongLong();
    qInfo() << "peak RSS while unpacking 1000 MiB:" << peakKiB << "KiB";
    QVERIFY2(peakKiB < 64 * 1024, qPrintable(QString::number(peakKiB)));
}

QTEST_GUILESS_MAIN(TestZip)
#include "tst_Zip.moc"
