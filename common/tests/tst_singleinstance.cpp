#include "common/SingleInstance.h"

#include <QSharedMemory>
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
    void foreignSegmentUnderTheKeyDoesNotBlock();

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

    // The killed holder's segment is still there: the kernel keeps it.
    QSharedMemory probe(memory);
    QVERIFY(!probe.create(1));
    QCOMPARE(probe.error(), QSharedMemory::AlreadyExists);

    SingleInstance next(semaphore, memory);
    QVERIFY(next.acquire());
}

// Another program's live segment can have the same key.
void TestSingleInstance::foreignSegmentUnderTheKeyDoesNotBlock()
{
    const QString semaphore = uniqueKey("Sem"), memory = uniqueKey("Mem");
    QSharedMemory foreign(memory);
    QVERIFY(foreign.create(1));
    SingleInstance only(semaphore, memory);
    QVERIFY(only.acquire());
    SingleInstance second(semaphore, memory);
    QVERIFY(!second.acquire());
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
