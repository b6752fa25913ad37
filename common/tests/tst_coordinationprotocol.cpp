#include "CoordinationProtocol.h"

#include <QtTest>

using Protocol = CoordinationProtocol;

class TestCoordinationProtocol : public QObject
{
    Q_OBJECT

private slots:
    void templatesAreCutToTheirLimit_data();
    void templatesAreCutToTheirLimit();
};

void TestCoordinationProtocol::templatesAreCutToTheirLimit_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");

    const QString longValue(200, QLatin1Char('9'));
    const QByteArray longBytes = longValue.toLatin1();
    QTest::newRow("request") << Protocol::request("IsUpdated", "17") << QByteArray(R"({"query":"IsUpdated","time":"17"})");
    QTest::newRow("long request") << Protocol::request("IsUpdated", longValue)
                                  << (R"({"query":"IsUpdated","time":")" + longBytes).left(95);
    QTest::newRow("long answer") << Protocol::answer("IsUpdated", longValue)
                                 << (R"({"query":"IsUpdated","check":")" + longBytes).left(159);
    QTest::newRow("long quit request") << Protocol::quitRequest(longValue) << (R"({"query":")" + longBytes).left(127);
}

void TestCoordinationProtocol::templatesAreCutToTheirLimit()
{
    QFETCH(QByteArray, text);
    QTEST(text, "expected");
}

QTEST_GUILESS_MAIN(TestCoordinationProtocol)
#include "tst_coordinationprotocol.moc"
