#include "updater/PackageSignature.h"

#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Keys and signatures are made by the real minisign tool, without passwords.
class TestPackageSignature : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void readsPublicKey_data();
    void readsPublicKey();
    void verifiesFile_data();
    void verifiesFile();

private:
    bool minisign(const QStringList &arguments);
    QByteArray sign(const QString &key, const QString &file, const QStringList &extra = {});

    QTemporaryDir m_dir;
    QString m_package;
    QByteArray m_publicKey;
};

bool TestPackageSignature::minisign(const QStringList &arguments)
{
    QProcess tool;
    tool.start("minisign", arguments);
    tool.closeWriteChannel();
    return tool.waitForFinished(30000) && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

QByteArray TestPackageSignature::sign(const QString &key, const QString &file, const QStringList &extra)
{
    const QString out = m_dir.filePath("out.minisig");
    QFile::remove(out);
    if (!minisign(QStringList{"-S", "-W", "-s", m_dir.filePath(key + ".key"), "-m", file, "-x", out} + extra))
        return {};
    return TestSupport::readAll(out);
}

void TestPackageSignature::initTestCase()
{
    for (const QString key : {"main", "other"})
        QVERIFY(minisign({"-G", "-W", "-p", m_dir.filePath(key + ".pub"), "-s", m_dir.filePath(key + ".key")}));
    m_publicKey = TestSupport::readAll(m_dir.filePath("main.pub"));
    m_package = m_dir.filePath("update.zip");
    QByteArray content(3 << 20, Qt::Uninitialized);
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 + i / 251);
    QVERIFY(TestSupport::writeFile(m_package, content));
}

void TestPackageSignature::readsPublicKey_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");

    const QByteArray line = TestSupport::readAll(m_dir.filePath("main.pub")).split('\n').value(1);
    QByteArray raw = QByteArray::fromBase64(line);
    QTest::newRow("whole .pub file") << TestSupport::readAll(m_dir.filePath("main.pub")) << true;
    QTest::newRow("key line alone") << line << true;
    QTest::newRow("key line with spaces and CRLF") << "  " + line + "\r\n" << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("comment only") << QByteArray("untrusted comment: minisign public key\n") << false;
    QTest::newRow("not base64") << QByteArray("RWS*not a key*") << false;
    QTest::newRow("one byte short") << raw.left(raw.size() - 1).toBase64() << false;
    QTest::newRow("one byte long") << (raw + 'x').toBase64() << false;
    QTest::newRow("other algorithm") << ("XX" + raw.mid(2)).toBase64() << false;
    QTest::newRow("secret key file") << TestSupport::readAll(m_dir.filePath("main.key")) << false;
}

void TestPackageSignature::readsPublicKey()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QString error;
    const auto key = PackageSignature::fromPublicKey(QString::fromUtf8(text), &error);
    QCOMPARE(key.has_value(), valid);
    QCOMPARE(error.isEmpty(), valid);
}

// Each row names how the package or its signature was changed after signing.
void TestPackageSignature::verifiesFile_data()
{
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("appended");
    QTest::addColumn<QString>("error");

    const QByteArray good = sign("main", m_package, {"-t", "release 7"});
    QVERIFY(!good.isEmpty());
    const QList<QByteArray> lines = good.split('\n');
    auto withLine = [&lines](int index, const QByteArray &text) {
        QList<QByteArray> changed = lines;
        changed[index] = text;
        return changed.join('\n');
    };
    QByteArray flipped = QByteArray::fromBase64(lines[1]);
    flipped[20] = char(flipped[20] ^ 1);

    QTest::newRow("good") << good << QByteArray() << QString();
    QTest::newRow("good with CRLF lines") << QByteArray(good).replace("\n", "\r\n") << QByteArray() << QString();
    QTest::newRow("file altered") << good << QByteArray("x") << "does not match the file";
    QTest::newRow("signed by another key") << sign("other", m_package) << QByteArray() << "another key";
    QTest::newRow("trusted comment altered") << withLine(2, "trusted comment: release 8") << QByteArray()
                                             << "trusted comment";
    QTest::newRow("signature bit flipped") << withLine(1, flipped.toBase64()) << QByteArray()
                                           << "does not match the file";
    QTest::newRow("legacy whole-file signature") << sign("main", m_package, {"-l"}) << QByteArray() << "legacy";
    QTest::newRow("empty") << QByteArray() << QByteArray() << "not a minisign signature";
    QTest::newRow("key instead of signature") << m_publicKey << QByteArray() << "not a minisign signature";
    QTest::newRow("signature line cut") << withLine(1, lines[1].left(40)) << QByteArray() << "not a minisign signature";
    QTest::newRow("trusted comment line missing") << withLine(2, "release 7") << QByteArray()
                                                  << "not a minisign signature";
    QTest::newRow("global signature missing") << withLine(3, "") << QByteArray() << "not a minisign signature";
    QTest::newRow("huge") << good + QByteArray(1 << 20, ' ') << QByteArray() << "too long";
}

void TestPackageSignature::verifiesFile()
{
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, appended);
    QFETCH(QString, error);
    const QString package = m_dir.filePath("copy.zip");
    QFile::remove(package);
    QVERIFY(QFile::copy(m_package, package));
    if (!appended.isEmpty()) {
        QFile file(package);
        QVERIFY(file.open(QIODevice::Append));
        QCOMPARE(file.write(appended), qint64(appended.size()));
    }
    QString message;
    const auto key = PackageSignature::fromPublicKey(QString::fromUtf8(m_publicKey), &message);
    QVERIFY2(key, qPrintable(message));

    QCOMPARE(key->verifyFile(package, signature, &message), error.isEmpty());
    QVERIFY2(message.contains(error), qPrintable(message));
}

QTEST_GUILESS_MAIN(TestPackageSignature)
#include "tst_PackageSignature.moc"
