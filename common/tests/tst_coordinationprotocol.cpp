#include "CoordinationProtocol.h"

#include <QUdpSocket>
#include <QtTest>

using Protocol = CoordinationProtocol;

class TestCoordinationProtocol : public QObject
{
    Q_OBJECT

private slots:
    void templatesAreCutToTheirLimit_data();
    void templatesAreCutToTheirLimit();
    void parsesReceivedText_data();
    void parsesReceivedText();
    void sendsEveryMessageTwiceWithIdenticalBytes();
};

void TestCoordinationProtocol::templatesAreCutToTheirLimit_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("expected");

    const QString longValue(200, QLatin1Char('9'));
    QTest::newRow("request") << Protocol::request("IsUpdated", "1733550000")
                             << QByteArray(R"({"query":"IsUpdated","time":"1733550000"})");
    QTest::newRow("answer without check") << Protocol::answer("CloseApp", QString())
                                          << QByteArray(R"({"query":"CloseApp","check":""})");
    QTest::newRow("quit request") << Protocol::quitRequest("IsUpdated") << QByteArray(R"({"query":"IsUpdated"})");
    QTest::newRow("long request") << Protocol::request("IsUpdated", longValue)
                                  << (R"({"query":"IsUpdated","time":")" + longValue.toLatin1()).left(95);
    QTest::newRow("long answer") << Protocol::answer("IsUpdated", longValue)
                                 << (R"({"query":"IsUpdated","check":")" + longValue.toLatin1()).left(159);
    QTest::newRow("long quit request") << Protocol::quitRequest(longValue)
                                       << (R"({"query":")" + longValue.toLatin1()).left(127);
}

void TestCoordinationProtocol::templatesAreCutToTheirLimit()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, expected);
    QCOMPARE(text, expected);
}

void TestCoordinationProtocol::parsesReceivedText_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("query");
    QTest::addColumn<QString>("time");
    QTest::addColumn<QString>("check");

    QTest::newRow("request") << QByteArray(R"({"query":"IsUpdated","time":"17"})") << "IsUpdated" << "17" << "";
    QTest::newRow("answer") << QByteArray(R"({"query":"CloseApp","check":"17"})") << "CloseApp" << "" << "17";
    QTest::newRow("quit request") << QByteArray(R"({"query":"IsUpdated"})") << "IsUpdated" << "" << "";
    QTest::newRow("number is no string") << QByteArray(R"({"query":"IsUpdated","time":17})") << "IsUpdated" << ""
                                         << "";
    QTest::newRow("array") << QByteArray(R"(["IsUpdated"])") << "" << "" << "";
    QTest::newRow("not json") << QByteArray("IsUpdated") << "" << "" << "";
    QTest::newRow("cut text") << Protocol::request("IsUpdated", QString(200, QLatin1Char('1'))) << "" << "" << "";
    QTest::newRow("empty") << QByteArray() << "" << "" << "";
}

void TestCoordinationProtocol::parsesReceivedText()
{
    QFETCH(QByteArray, text);
    const Protocol::Message message = Protocol::parse(text);
    QTEST(message.query, "query");
    QTEST(message.time, "time");
    QTEST(message.check, "check");
}

// Over real loopback sockets on a port the system chooses.
void TestCoordinationProtocol::sendsEveryMessageTwiceWithIdenticalBytes()
{
    QUdpSocket receiver;
    QVERIFY(receiver.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QUdpSocket sender;
    const QByteArray text = Protocol::request("CloseApp", "1733550000");

    Protocol::sendTwice(sender, text, receiver.localPort());
    sender.writeDatagram(QByteArray(), QHostAddress::LocalHost, receiver.localPort());

    QList<QByteArray> received;
    QTRY_VERIFY((received += Protocol::takePendingDatagrams(receiver)).size() >= 3);
    QCOMPARE(received, (QList<QByteArray>{text, text, QByteArray()}));
}

QTEST_GUILESS_MAIN(TestCoordinationProtocol)
#include "tst_coordinationprotocol.moc"
