#include "common/SingleInstance.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void secondHolderIsRefused();
    void releasedWhenDestroyed();
    void killedHolderDoesNotBlock();
    void plantedLockIsReported();

private:
    static QString uniqueKey(const char *what)
    {
        return QStringLiteral("KorvelTest%1%2").arg(what, QUuid::createUuid().toString(QUuid::Id128));
    }
};

void TestSingleInstance::secondHolderIsRefused()
{
    const QString semaphore = uniqueKey("Sem"), memory = uniqueKey("Mem");
    SingleInstance first(semaphore, memory);
    QVERIFY(first.acquire());
    SingleInstance second(semaphore, memory);
    QVERIFY(!second.acquire());
}

void TestSingleInstance::releasedWhenDestroyed()
{
    const QString semaphore = uniqueKey("Sem"), memory = uniqueKey("Mem");
    {
        SingleInstance first(semaphore, memory);
        QVERIFY(first.acquire());
    }
    SingleInstance next(semaphore, memory);
    QVERIFY(next.acquire());
}

void TestSingleInstance::killedHolderDoesNotBlock()
{
    const QString semaphore = uniqueKey("Sem"), memory = uniqueKey("Mem");
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        SingleInstance holder(semaphore, memory);
        if (holder.acquire())
            ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY2(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL, "the holder did not get the instance");

    SingleInstance next(semaphore, memory);
    QVERIFY(next.acquire());
}

// A lock file another user made must not pass for a running instance: the
// start is refused loudly, with a reason for the log, while a lock held by
// our own first instance refuses silently.
void TestSingleInstance::plantedLockIsReported()
{
    QTemporaryDir runtime;
    QVERIFY(QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    const QString name = uniqueKey("Mem");
    {
        SingleInstance first(QString(), name);
        QVERIFY(first.acquire());
        SingleInstance second(QString(), name);
        QVERIFY(!second.acquire());
        QCOMPARE(second.problem(), QString());
    }
    const QString lock = runtime.filePath("korvel-" + name + ".lock");
    QVERIFY(QFileInfo::exists(lock));
    if (::geteuid() == 0) {
        QCOMPARE(::chown(QFile::encodeName(lock).constData(), 4002, 4002), 0);
        SingleInstance planted(QString(), name);
        QVERIFY(!planted.acquire());
        QVERIFY2(planted.problem().contains(lock), qPrintable(planted.problem()));
    }
    qputenv("XDG_RUNTIME_DIR", saved);
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
