#include "ProcessTable.h"
#include "TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// A copy of sleep under a name no other program on the machine has stands
// for the program looked for.
class TestProcessTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void matchesTheProgramFileNameExactly_data();
    void matchesTheProgramFileNameExactly();
    void stillFindsAProgramReplacedWhileItRuns();
    void endedProcessDoesNotCount();

private:
    QTemporaryDir m_dir;
    QString m_probe;
    QProcess m_process;
};

void TestProcessTable::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_probe = m_dir.filePath(QStringLiteral("KorvelProbe"));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), m_probe));
    QFile::setPermissions(m_probe, QFile::permissions(m_probe) | QFile::ExeOwner);
    QVERIFY(!isProcessRunning(QStringLiteral("KorvelProbe")));
    m_process.start(m_probe, {QStringLiteral("60")});
    QVERIFY(m_process.waitForStarted());
}

void TestProcessTable::cleanupTestCase()
{
    m_process.kill();
    m_process.waitForFinished();
}

void TestProcessTable::matchesTheProgramFileNameExactly_data()
{
    QTest::addColumn<QString>("imageName");
    QTest::addColumn<bool>("running");

    QTest::newRow("same name") << "KorvelProbe" << true;
    QTest::newRow("other letter case") << "korvelprobe" << false;
    QTest::newRow("part of the name") << "KorvelProb" << false;
    QTest::newRow("longer name") << "KorvelProbe.exe" << false;
    QTest::newRow("folder and name") << m_probe << false;
    QTest::newRow("empty") << "" << false;
}

void TestProcessTable::matchesTheProgramFileNameExactly()
{
    QFETCH(QString, imageName);
    QTEST(isProcessRunning(imageName), "running");
}

void TestProcessTable::stillFindsAProgramReplacedWhileItRuns()
{
    QVERIFY(QFile::remove(m_probe));
    QVERIFY(isProcessRunning(QStringLiteral("KorvelProbe")));
}

void TestProcessTable::endedProcessDoesNotCount()
{
    m_process.kill();
    QVERIFY(m_process.waitForFinished());
    QVERIFY(!isProcessRunning(QStringLiteral("KorvelProbe")));
}

QTEST_GUILESS_MAIN(TestProcessTable)
#include "tst_processtable.moc"
