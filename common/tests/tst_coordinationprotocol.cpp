#include "common/CoordinationProtocol.h"
#include "common/LoopbackSocket.h"

#include <QUdpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

using Protocol = CoordinationProtocol;

class TestCoordinationProtocol : public QObject
{
    Q_OBJECT

private slots:
    void templatesAreCutToTheirLimit_data();
    void templatesAreCutToTheirLimit();
    void onlyLoopbackSendersCount_data();
    void onlyLoopbackSendersCount();
    void onlyOwnUsersSocketsCount_data();
    void onlyOwnUsersSocketsCount();
    void listenerPortIsNotShared();
};

namespace {

// A socket of another user (uid 4002), bound on loopback in a child process:
// sends text to port, then holds the socket open until told to end.
class OtherUsersSender
{
public:
    OtherUsersSender(const QByteArray &text, quint16 port)
    {
        if (::pipe(m_go) != 0 || ::pipe(m_sent) != 0)
            return;
        m_child = ::fork();
        if (m_child != 0)
            return;
        if (::setgid(4002) != 0 || ::setuid(4002) != 0)
            ::_exit(2);
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool sent = ::sendto(fd, text.constData(), size_t(text.size()), 0, reinterpret_cast<sockaddr *>(&to),
                                   sizeof to) == text.size();
        char done = sent ? 1 : 0;
        if (::write(m_sent[1], &done, 1) != 1 || ::read(m_go[0], &done, 1) < 0)
            ::_exit(3);
        ::_exit(0);
    }
    ~OtherUsersSender()
    {
        if (m_child > 0) {
            char go = 1;
            if (::write(m_go[1], &go, 1) == 1)
                ::waitpid(m_child, nullptr, 0);
        }
    }
    bool waitSent()
    {
        char sent = 0;
        return m_child > 0 && ::read(m_sent[0], &sent, 1) == 1 && sent == 1;
    }

private:
    int m_go[2] = {-1, -1};
    int m_sent[2] = {-1, -1};
    pid_t m_child = -1;
};

} // namespace

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

void TestCoordinationProtocol::onlyOwnUsersSocketsCount_data()
{
    QTest::addColumn<QString>("sender");
    QTest::addColumn<bool>("strict"); // requests that steer the receiver
    QTest::addColumn<bool>("heard");

    QTest::newRow("own socket") << "own" << true << true;
    // The sending socket is gone before the datagram is read: nobody can
    // vouch for it any more, and a request is refused.
    QTest::newRow("own socket closed, request") << "closed" << true << false;
    QTest::newRow("own socket closed, answer") << "closed" << false << true;
    QTest::newRow("another user's socket, request") << "other" << true << false;
    QTest::newRow("another user's socket, answer") << "other" << false << false;
}

void TestCoordinationProtocol::onlyOwnUsersSocketsCount()
{
    QFETCH(QString, sender);
    QFETCH(bool, strict);
    QFETCH(bool, heard);
    if (sender == "other" && ::geteuid() != 0)
        QSKIP("a socket of another user needs root to make");
    QUdpSocket listener;
    QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const QByteArray text = Protocol::request(Protocol::closeApp(), "1");
    QUdpSocket own;
    std::unique_ptr<OtherUsersSender> other;
    if (sender == "other") {
        other = std::make_unique<OtherUsersSender>(text, listener.localPort());
        QVERIFY(other->waitSent());
    } else {
        QCOMPARE(own.writeDatagram(text, QHostAddress::LocalHost, listener.localPort()), qint64(text.size()));
    }
    QTRY_VERIFY(listener.hasPendingDatagrams());
    if (sender == "closed")
        own.close();

    QList<QHostAddress> senders;
    QStringList refused;
    const QList<QByteArray> datagrams = Protocol::takePendingDatagrams(
        listener, &senders, &refused, strict ? Protocol::Senders::OwnUserOnly : Protocol::Senders::OwnUserOrGone);
    QCOMPARE(datagrams, heard ? QList<QByteArray>{text} : QList<QByteArray>());
    QCOMPARE(senders.size(), datagrams.size());
    QCOMPARE(refused.size(), heard ? 0 : 1);
    if (!heard)
        QVERIFY2(refused.first().startsWith("127.0.0.1:"), qPrintable(refused.first()));
}

// Another program cannot bind beside a listener and take its datagrams.
void TestCoordinationProtocol::listenerPortIsNotShared()
{
    QUdpSocket first, second, shared;
    QVERIFY(first.bind(QHostAddress(QHostAddress::AnyIPv4), 0));
    const quint16 port = first.localPort();
    first.close();
    QVERIFY(LoopbackSocket::bindListener(first, port));
    QVERIFY(LoopbackSocket::isHeldByOwnUser(port));
    QVERIFY(!LoopbackSocket::bindListener(second, port));
    QVERIFY(!shared.bind(QHostAddress::LocalHost, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));
    QCOMPARE(LoopbackSocket::otherUsersOn(port), QList<uint>());
}

QTEST_GUILESS_MAIN(TestCoordinationProtocol)
#include "tst_coordinationprotocol.moc"
