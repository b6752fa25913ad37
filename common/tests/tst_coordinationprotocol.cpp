#include "common/CoordinationProtocol.h"
#include "common/LoopbackSocket.h"

#include <QtTest>

using Protocol = CoordinationProtocol;

class TestCoordinationProtocol : public QObject
{
    Q_OBJECT

private slots:
    void templatesAreCutToTheirLimit_data();
    void templatesAreCutToTheirLimit();
    void onlyLoopbackSendersCount_data();
    void onlyLoopbackSendersCount();
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

void TestCoordinationProtocol::onlyLoopbackSendersCount_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("loopback");

    QTest::newRow("127.0.0.1") << "127.0.0.1" << true;
    QTest::newRow("127.200.0.9") << "127.200.0.9" << true;
    QTest::newRow("::1") << "::1" << true;
    QTest::newRow("mapped 127.0.0.1") << "::ffff:127.0.0.1" << true;
    QTest::newRow("LAN") << "192.168.1.20" << false;
    QTest::newRow("mapped LAN") << "::ffff:192.168.1.20" << false;
    QTest::newRow("128.0.0.1") << "128.0.0.1" << false;
    QTest::newRow("null") << QString() << false;
}

void TestCoordinationProtocol::onlyLoopbackSendersCount()
{
    QFETCH(QString, sender);
    QTEST(LoopbackSocket::isLoopbackSender(QHostAddress(sender)), "loopback");
}

QTEST_GUILESS_MAIN(TestCoordinationProtocol)
#include "tst_coordinationprotocol.moc"
