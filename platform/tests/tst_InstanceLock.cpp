#include "platform/InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// The lock lives in the user's runtime folder; a lock file of the same name
// that someone holds in the shared temporary folder, as another user's
// instance did, does not stop this user's.
class TestInstanceLock : public QObject
{
    Q_OBJECT

private slots:
    void perUserLock_data();
    void perUserLock();
};

void TestInstanceLock::perUserLock_data()
{
    QTest::addColumn<bool>("runtimeFolder"); // XDG_RUNTIME_DIR set to a folder of ours

    QTest::newRow("runtime folder") << true;
    QTest::newRow("no runtime folder set") << false;
}

void TestInstanceLock::perUserLock()
{
    QFETCH(bool, runtimeFolder);
    QTemporaryDir runtime;
    QTemporaryDir shared;
    QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray savedTmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(shared.path()));
    if (runtimeFolder)
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    else
        qunsetenv("XDG_RUNTIME_DIR");

    // The shared-folder lock as another user's instance holds it.
    const QString sharedLock = shared.filePath(QStringLiteral("korvel-TestLock.lock"));
    const int other = ::open(QFile::encodeName(sharedLock).constData(), O_RDWR | O_CREAT, 0666);
    QVERIFY(other >= 0);
    QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);

    {
        InstanceLock first(QStringLiteral("TestLock"));
        InstanceLock second(QStringLiteral("TestLock"));
        if (runtimeFolder)
            QCOMPARE(QFileInfo(first.path()).path(), runtime.path());
        QVERIFY(first.path() != sharedLock);
        QVERIFY(first.tryLock());
        QVERIFY(!second.tryLock());
        QCOMPARE(QFile::permissions(first.path()) & (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup
                                                     | QFile::WriteGroup),
                 QFile::Permissions());
        first.unlock();
        QVERIFY(second.tryLock());
    }

    ::close(other);
    qputenv("TMPDIR", savedTmp);
    if (savedRuntime.isNull())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", savedRuntime);
}

QTEST_GUILESS_MAIN(TestInstanceLock)

#include "tst_InstanceLock.moc"
