#include "platform/OpenFileLimit.h"

#include <QtTest>

#include <sys/resource.h>

// The soft limit of open files goes up to the hard one at start.
class tst_OpenFileLimit : public QObject
{
    Q_OBJECT

private slots:
    void raisesTheSoftLimitToTheHardOne()
    {
        struct rlimit saved = {};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
        if (saved.rlim_max == RLIM_INFINITY || saved.rlim_max < 128)
            QSKIP("needs a finite hard limit of open files above 128");
        struct rlimit lowered = saved;
        lowered.rlim_cur = 100;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
        QCOMPARE(OpenFileLimit::current(), qint64(100));

        QCOMPARE(OpenFileLimit::raiseToHard(), qint64(saved.rlim_max));
        QCOMPARE(OpenFileLimit::current(), qint64(saved.rlim_max));
        ::setrlimit(RLIMIT_NOFILE, &saved);
    }
};

QTEST_GUILESS_MAIN(tst_OpenFileLimit)
#include "tst_OpenFileLimit.moc"
