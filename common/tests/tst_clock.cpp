#include "common/Clock.h"
#include "platform/PerformanceCounter.h"

#include <QElapsedTimer>
#include <QtTest>

class tst_Clock : public QObject
{
    Q_OBJECT

private slots:
    void rounding_data();
    void rounding();
    void followsTheCounter();
};

void tst_Clock::rounding_data()
{
    QTest::addColumn<quint64>("ticks");
    QTest::addColumn<quint64>("frequency");
    QTest::addColumn<quint64>("ms");

    QTest::newRow("zero") << Q_UINT64_C(0) << Q_UINT64_C(1000000000) << Q_UINT64_C(0);
    QTest::newRow("just under half") << Q_UINT64_C(1499999) << Q_UINT64_C(1000000000) << Q_UINT64_C(1);
    QTest::newRow("half rounds up") << Q_UINT64_C(1500000) << Q_UINT64_C(1000000000) << Q_UINT64_C(2);
    QTest::newRow("10 MHz counter") << Q_UINT64_C(123456789) << Q_UINT64_C(10000000) << Q_UINT64_C(12346);
    // 200 days of nanoseconds: the plain product ticks * 1000 would overflow.
    QTest::newRow("200 days") << Q_UINT64_C(17280000000000000) << Q_UINT64_C(1000000000) << Q_UINT64_C(17280000000);
    QTest::newRow("odd frequency") << Q_UINT64_C(3579545) << Q_UINT64_C(3579545) << Q_UINT64_C(1000);
}

void tst_Clock::rounding()
{
    QFETCH(quint64, ticks);
    QFETCH(quint64, frequency);
    QFETCH(quint64, ms);
    QCOMPARE(ticksToRoundedMs(ticks, frequency), ms);
}

void tst_Clock::followsTheCounter()
{
    QVERIFY(PerformanceCounter::frequency() > 0);
    const quint64 first = tickCountMs();
    QElapsedTimer elapsed;
    elapsed.start();
    const qint64 counterStart = PerformanceCounter::value();
    while (elapsed.elapsed() < 30) {
    }
    QVERIFY(PerformanceCounter::value() > counterStart);
    const quint64 later = tickCountMs();
    QVERIFY(later >= first + 29);
    QVERIFY(later <= first + 1000);
    // The system clock reads the same counter.
    QVERIFY(quint64(Clock::system().monotonicMs()) >= later);
}

QTEST_APPLESS_MAIN(tst_Clock)
#include "tst_clock.moc"
