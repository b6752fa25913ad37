#include "platform/InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// The lock lives in a folder only the user can write: the runtime folder,
// or a 0700 folder in the home folder. A lock file of the same name that
// someone holds in the shared temporary folder does not stop this user's
// program, and a folder or file that is not the user's own is refused, not
// taken for a running instance.
class TestInstanceLock : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void perUserLock_data();
    void perUserLock();
    void foreignFolderOrFileIsRefused_data();
    void foreignFolderOrFileIsRefused();

private:
    void useRuntimeFolder(bool use);

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_savedRuntime, m_savedHome, m_savedTmp;
};

void TestInstanceLock::init()
{
    m_savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    m_savedHome = qgetenv("HOME");
    m_savedTmp = qgetenv("TMPDIR");
    m_dir = std::make_unique<QTemporaryDir>();
    for (const char *folder : {"runtime", "home", "shared"})
        QVERIFY(QDir().mkpath(m_dir->filePath(folder)));
    QCOMPARE(::chmod(QFile::encodeName(m_dir->filePath("runtime")).constData(), 0700), 0);
    qputenv("HOME", QFile::encodeName(m_dir->filePath("home")));
    qputenv("TMPDIR", QFile::encodeName(m_dir->filePath("shared")));
}

void TestInstanceLock::cleanup()
{
    auto restore = [](const char *name, const QByteArray &value) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    };
    restore("XDG_RUNTIME_DIR", m_savedRuntime);
    restore("HOME", m_savedHome);
    restore("TMPDIR", m_savedTmp);
    m_dir.reset();
}

void TestInstanceLock::useRuntimeFolder(bool use)
{
    if (use)
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_dir->filePath("runtime")));
    else
        qunsetenv("XDG_RUNTIME_DIR");
}

void TestInstanceLock::perUserLock_data()
{
    QTest::addColumn<bool>("runtimeFolder"); // XDG_RUNTIME_DIR set to a folder of ours
    QTest::addColumn<QString>("folder");     // where the lock must be

    QTest::newRow("runtime folder") << true << "runtime";
    QTest::newRow("no runtime folder set") << false << "home/.korvel";
}

void TestInstanceLock::perUserLock()
{
    QFETCH(bool, runtimeFolder);
    QFETCH(QString, folder);
    useRuntimeFolder(runtimeFolder);

    // The shared-folder lock as another user's instance holds it.
    const QString sharedLock = m_dir->filePath("shared/korvel-TestLock.lock");
    const int other = ::open(QFile::encodeName(sharedLock).constData(), O_RDWR | O_CREAT, 0666);
    QVERIFY(other >= 0);
    QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);

    {
        InstanceLock first(QStringLiteral("TestLock"));
        InstanceLock second(QStringLiteral("TestLock"));
        QCOMPARE(QFileInfo(first.path()).path(), m_dir->filePath(folder));
        QCOMPARE(first.tryAcquire(), InstanceLock::Result::Acquired);
        QCOMPARE(second.tryAcquire(), InstanceLock::Result::HeldElsewhere);
        QCOMPARE(QFile::permissions(first.path()) & (QFile::ReadOther | QFile::WriteOther | QFile::ReadGroup
                                                     | QFile::WriteGroup),
                 QFile::Permissions());
        QCOMPARE(QFileInfo(m_dir->filePath(folder)).permissions() & (QFile::WriteGroup | QFile::WriteOther),
                 QFile::Permissions());
        first.unlock();
        QCOMPARE(second.tryAcquire(), InstanceLock::Result::Acquired);
    }
    ::close(other);
}

void TestInstanceLock::foreignFolderOrFileIsRefused_data()
{
    QTest::addColumn<bool>("runtimeFolder");
    QTest::addColumn<QString>("setup");

    QTest::newRow("runtime folder writable by all") << true << "chmod 0777 runtime";
    QTest::newRow("runtime folder is a link") << true << "link runtime";
    QTest::newRow("lock file is a link") << true << "link lock";
    QTest::newRow("lock file of another user") << true << "chown lock";
    QTest::newRow("own folder readable by others") << false << "chmod 0755 home/.korvel";
    QTest::newRow("own folder of another user") << false << "chown home/.korvel";
    QTest::newRow("own folder is a link") << false << "link home/.korvel";
}

void TestInstanceLock::foreignFolderOrFileIsRefused()
{
    QFETCH(bool, runtimeFolder);
    QFETCH(QString, setup);
    const QStringList step = setup.split(' ');
    const QString target = m_dir->filePath(step.last() == "lock" ? "runtime/korvel-TestLock.lock" : step.last());
    const QByteArray path = QFile::encodeName(target);
    if (step.first() == "chown" && ::geteuid() != 0)
        QSKIP("handing a file to another user needs root");

    if (step.first() == "link") {
        // A link to a private folder (or file) of ours is still refused:
        // whoever made the link chose where it points.
        const QString real = m_dir->filePath("elsewhere");
        QVERIFY(QDir().mkpath(real));
        QCOMPARE(::chmod(QFile::encodeName(real).constData(), 0700), 0);
        QDir(target).removeRecursively();
        QVERIFY(QFile::link(step.last() == "lock" ? real + "/x.lock" : real, target));
    } else {
        QVERIFY(QDir().mkpath(QFileInfo(target).path()));
        if (step.last() == "lock")
            QVERIFY(QFile(target).open(QIODevice::WriteOnly));
        else
            QVERIFY(QDir().mkpath(target));
        if (step.first() == "chown")
            QCOMPARE(::chown(path.constData(), 4002, 4002), 0);
        else
            QCOMPARE(::chmod(path.constData(), step.at(1).toUInt(nullptr, 8)), 0);
    }
    useRuntimeFolder(runtimeFolder);

    InstanceLock lock(QStringLiteral("TestLock"));
    QCOMPARE(lock.tryAcquire(), InstanceLock::Result::Unsafe);
    QVERIFY(!lock.isLocked());
    QVERIFY2(!lock.problem().isEmpty(), "no reason given");
}

QTEST_GUILESS_MAIN(TestInstanceLock)

#include "tst_InstanceLock.moc"
