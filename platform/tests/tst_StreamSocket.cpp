// A readiness set and raw stream sockets on real loopback connections.

#include "platform/ReadinessSet.h"
#include "platform/StreamSocket.h"

#include <QtTest>

#include <functional>
#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A listening loopback socket and connections to it, both ends in this test.
class Loopback
{
public:
    Loopback()
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length);
        ::listen(m_listener, 16);
        ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length);
        m_address = address;
    }
    ~Loopback() { ::close(m_listener); }

    // The client's descriptor; the accepted one in *server.
    int connect(int *server, int clientReceiveBuffer = 0)
    {
        const int client = dial(clientReceiveBuffer);
        *server = accept();
        return client;
    }

    int dial(int clientReceiveBuffer = 0)
    {
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (clientReceiveBuffer > 0)
            ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &clientReceiveBuffer, sizeof clientReceiveBuffer);
        ::connect(client, reinterpret_cast<const sockaddr *>(&m_address), sizeof m_address);
        return client;
    }

    int accept() { return ::accept(m_listener, nullptr, nullptr); }

private:
    int m_listener = -1;
    sockaddr_in m_address = {};
};

void sendAll(int descriptor, const QByteArray &bytes)
{
    qint64 sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(descriptor, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (count <= 0)
            return;
        sent += count;
    }
}

// Waits for the set's reports (the set's descriptor turning readable).
QList<ReadinessSet::Event> reportsOf(ReadinessSet &set, int waitMs = 2000)
{
    QList<ReadinessSet::Event> reports;
    (void)QTest::qWaitFor(
        [&] {
            ReadinessSet::Event events[16];
            const int count = set.collect(events, 16);
            for (int i = 0; i < count; ++i)
                reports.append(events[i]);
            return !reports.isEmpty();
        },
        waitMs);
    return reports;
}

struct Connection
{
    Loopback loopback;
    int client = -1;
    std::unique_ptr<StreamSocket> server;
    ReadinessSet set;

    explicit Connection(int interest, int clientReceiveBuffer = 0)
    {
        int accepted = -1;
        client = loopback.connect(&accepted, clientReceiveBuffer);
        server = std::make_unique<StreamSocket>(accepted);
        server->makeNonBlocking();
        set.add(accepted, 7, interest);
    }
    ~Connection()
    {
        if (client >= 0)
            ::close(client);
    }
    void resetClient()
    {
        const linger abortive = {1, 0};
        ::setsockopt(client, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        ::close(client);
        client = -1;
    }
};

using Scenario = std::function<void()>;

} // namespace

Q_DECLARE_METATYPE(Scenario)

class tst_StreamSocket : public QObject
{
    Q_OBJECT

private slots:
    void readinessAndSockets_data()
    {
        QTest::addColumn<Scenario>("scenario");

        // Bytes are reported once, read in full, and then nothing is there
        // until more come; the peer is seen as the system gives it.
        QTest::newRow("read readiness") << Scenario([] {
            Connection c(ReadinessSet::Read);
            QVERIFY(reportsOf(c.set, 100).isEmpty());
            sendAll(c.client, "POST /");
            const QList<ReadinessSet::Event> reports = reportsOf(c.set);
            QCOMPARE(reports.size(), 1);
            QCOMPARE(reports.first().key, quint64(7));
            QVERIFY(reports.first().readable);
            QVERIFY(!reports.first().hangUp);
            QByteArray buffer("x");
            int count = 0;
            QCOMPARE(c.server->readInto(buffer, 64 * 1024, &count), StreamSocket::ReadStatus::Data);
            QCOMPARE(buffer, QByteArray("xPOST /"));
            QCOMPARE(count, 6);
            QCOMPARE(c.server->readInto(buffer, 64 * 1024, &count), StreamSocket::ReadStatus::WouldBlock);
            QVERIFY(reportsOf(c.set, 100).isEmpty());
            // A bounded read leaves the rest with the system.
            sendAll(c.client, "0123456789");
            QCOMPARE(reportsOf(c.set).size(), 1);
            QCOMPARE(c.server->readInto(buffer, 4, &count), StreamSocket::ReadStatus::Data);
            QCOMPARE(buffer, QByteArray("xPOST /0123"));
            QCOMPARE(c.server->peerAddress(), QHostAddress(QHostAddress::LocalHost));
            QVERIFY(c.server->peerPort() != 0);
        });

        // A client that does not read holds answers back; once it reads,
        // the socket turns writable and the rest goes, whole and in order.
        QTest::newRow("write back-pressure") << Scenario([] {
            Connection c(ReadinessSet::Read, 4096);
            const int small = 4096;
            ::setsockopt(c.server->descriptor(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            QVERIFY(c.set.modify(c.server->descriptor(), 7, ReadinessSet::Read | ReadinessSet::Write));
            QList<QByteArray> answers{QByteArray(300 * 1024, 'a'), QByteArray(300 * 1024, 'b'), "end"};
            const QByteArray all = answers.join();
            qint64 written = 0;
            int offset = 0;
            qint64 total = 0;
            StreamSocket::WriteStatus status = StreamSocket::WriteStatus::Partly;
            // Until the system takes nothing more.
            do {
                status = c.server->writeRun(answers, offset, &written);
                total += written;
                offset += int(written);
                while (!answers.isEmpty() && offset >= answers.first().size()) {
                    offset -= answers.first().size();
                    answers.removeFirst();
                }
            } while (status == StreamSocket::WriteStatus::Partly && written > 0);
            QCOMPARE(status, StreamSocket::WriteStatus::Partly);
            QVERIFY(total < all.size());
            reportsOf(c.set, 100);
            QVERIFY(reportsOf(c.set, 100).isEmpty());

            QByteArray received;
            char chunk[65536];
            while (received.size() < all.size()) {
                const ssize_t count = ::recv(c.client, chunk, sizeof chunk, MSG_DONTWAIT);
                if (count > 0) {
                    received.append(chunk, int(count));
                    continue;
                }
                bool writable = false;
                for (const ReadinessSet::Event &event : reportsOf(c.set, 50))
                    writable = writable || (event.key == 7 && event.writable);
                if (!writable)
                    continue;
                status = c.server->writeRun(answers, offset, &written);
                QVERIFY(status != StreamSocket::WriteStatus::Failed);
                offset += int(written);
                while (!answers.isEmpty() && offset >= answers.first().size()) {
                    offset -= answers.first().size();
                    answers.removeFirst();
                }
            }
            QVERIFY(answers.isEmpty());
            QCOMPARE(received, all);
        });

        QTest::newRow("peer close") << Scenario([] {
            Connection c(ReadinessSet::Read);
            sendAll(c.client, "last");
            ::close(c.client);
            c.client = -1;
            const QList<ReadinessSet::Event> reports = reportsOf(c.set);
            QCOMPARE(reports.size(), 1);
            QVERIFY(reports.first().hangUp);
            QByteArray buffer;
            int count = 0;
            QCOMPARE(c.server->readInto(buffer, 64 * 1024, &count), StreamSocket::ReadStatus::Data);
            QCOMPARE(buffer, QByteArray("last"));
            QCOMPARE(c.server->readInto(buffer, 64 * 1024, &count), StreamSocket::ReadStatus::EndOfStream);
        });

        // A reset peer ends reads and writes alike, without a signal.
        QTest::newRow("peer reset") << Scenario([] {
            Connection c(ReadinessSet::Read | ReadinessSet::Write);
            reportsOf(c.set, 100);
            c.resetClient();
            const QList<ReadinessSet::Event> reports = reportsOf(c.set);
            QVERIFY(!reports.isEmpty());
            QVERIFY(reports.first().hangUp);
            qint64 written = 0;
            QCOMPARE(c.server->writeRun({"answer"}, 0, &written), StreamSocket::WriteStatus::Closed);
            QByteArray buffer;
            int count = 0;
            QCOMPARE(c.server->readInto(buffer, 64 * 1024, &count), StreamSocket::ReadStatus::EndOfStream);
            QVERIFY(!c.server->errorString().isEmpty());
        });

        // A closed descriptor leaves the set; its number, given to the next
        // connection, reports under the new key only.
        QTest::newRow("descriptor reused") << Scenario([] {
            Loopback loopback;
            ReadinessSet set;
            int first = -1;
            const int firstClient = loopback.connect(&first);
            QVERIFY(set.add(first, 1, ReadinessSet::Read));
            sendAll(firstClient, "old");
            const int secondClient = loopback.dial();
            ::close(first);
            const int second = loopback.accept();
            QCOMPARE(second, first);
            QVERIFY(set.add(second, 2, ReadinessSet::Read));
            sendAll(secondClient, "new");
            const QList<ReadinessSet::Event> reports = reportsOf(set);
            QCOMPARE(reports.size(), 1);
            QCOMPARE(reports.first().key, quint64(2));
            QVERIFY(set.remove(second));
            sendAll(secondClient, "more");
            QVERIFY(reportsOf(set, 100).isEmpty());
            ::close(second);
            ::close(firstClient);
            ::close(secondClient);
        });
    }

    void readinessAndSockets()
    {
        QFETCH(Scenario, scenario);
        scenario();
    }
};

QTEST_GUILESS_MAIN(tst_StreamSocket)
#include "tst_StreamSocket.moc"
