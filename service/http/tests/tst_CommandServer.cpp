// The command server over real loopback connections: request framing,
// answer framing and order, closing rules and bounds. Run on Qt's own event
// loop and again on the service's (KORVEL_TEST_EVENT_LOOP=service), where
// the connections sit in the loop's own wait.

#include "service/http/CommandServer.h"
#include "service/testsupport/RecordingTargets.h"
#include "tests/support/TestSupport.h"

#include "platform/EventDispatcher.h"
#include "service/log/LogFacility.h"
#include "tests/support/ManualClock.h"

#include <QDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

namespace {

// The server under test listens on a port of its own, chosen by the system.
quint16 g_port = 0;

QByteArray post(const QByteArray &body)
{
    return "POST /print HTTP/1.1\r\nHost: 127.0.0.1:12380\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray framed(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nAccess-Control-Allow-origin: *\r\nContent-Type:application/json\r\nContent-Length:"
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// How long a client waits for what the server is expected to do: only a
// failing test waits this long, and a loaded machine (the suites run side by
// side) can take seconds to move megabytes through the loop.
constexpr int ClientWaitMs = 30000;

// A cashier-side connection living in the test's own event loop.
class Client
{
public:
    explicit Client(const QString &host = QStringLiteral("127.0.0.1")) { m_socket.connectToHost(host, g_port); }

    bool connected()
    {
        return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, ClientWaitMs);
    }

    // Each call reaches the server as its own arrival: the bytes are in the
    // server's socket once flush returns on loopback, and a few event rounds
    // let it read them before the next piece is written.
    void send(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
        for (int i = 0; i < 4; ++i)
            QCoreApplication::processEvents();
    }

    // The complete responses received so far.
    QList<QByteArray> responses()
    {
        m_received += m_socket.readAll();
        QList<QByteArray> result;
        int pos = 0;
        static const QRegularExpression lengthField(QStringLiteral("Content-Length:(\\d+)\r\n"));
        for (;;) {
            const int end = m_received.indexOf("\r\n\r\n", pos);
            if (end < 0)
                break;
            const auto match = lengthField.match(QString::fromLatin1(m_received.mid(pos, end + 4 - pos)));
            const int total = end + 4 + (match.hasMatch() ? match.captured(1).toInt() : 0) - pos;
            if (m_received.size() - pos < total)
                break;
            result.append(m_received.mid(pos, total));
            pos += total;
        }
        return result;
    }

    bool waitForResponses(int count)
    {
        return QTest::qWaitFor([&] { return responses().size() >= count; }, ClientWaitMs);
    }

    bool waitForClose()
    {
        return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::UnconnectedState; }, ClientWaitMs);
    }

    QByteArray received()
    {
        m_received += m_socket.readAll();
        return m_received;
    }

    QTcpSocket &socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_received;
};

// Connections that are opened and then only held, outside any event loop.
class IdleClients
{
public:
    ~IdleClients()
    {
        for (int descriptor : m_descriptors)
            ::close(descriptor);
    }

    // In small groups, so that the server's accept queue never overflows.
    bool open(int count, const CommandServer &server)
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(g_port);
        const int before = server.connectionCount();
        while (int(m_descriptors.size()) < count) {
            for (int i = 0; i < 32 && int(m_descriptors.size()) < count; ++i) {
                const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (descriptor < 0)
                    return false;
                ::connect(descriptor, reinterpret_cast<const sockaddr *>(&address), sizeof address);
                m_descriptors.push_back(descriptor);
            }
            const int opened = int(m_descriptors.size());
            if (!QTest::qWaitFor([&] { return server.connectionCount() >= before + opened; }, 5000))
                return false;
        }
        return true;
    }

private:
    std::vector<int> m_descriptors;
};

CommandServer::Dispatch dispatchTo(RecordingTargets &app)
{
    return [&app](const QByteArray &body, const CommandServer::Answer &answer) {
        app.dispatcher.dispatchCommand(body, answer);
    };
}

const QByteArray FireOpen = R"({"Msg":"FireAlarm","query":"open"})";
const QByteArray FireClose = R"({"Msg":"FireAlarm","query":"close"})";

} // namespace

class tst_CommandServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The log file of a fixed day, written when the test says so.
        setLogClock(&m_clock);
        initLogDirectory(m_folder.path());
    }

    void cleanupTestCase() { setLogClock(nullptr); }

    void init()
    {
        m_app = std::make_unique<RecordingTargets>(m_folder.path());
        m_server = std::make_unique<CommandServer>(dispatchTo(*m_app));
        QVERIFY(m_server->listen(0));
        g_port = m_server->serverPort();
        if (auto *loop = qobject_cast<EventDispatcher *>(QAbstractEventDispatcher::instance()))
            QVERIFY2(!loop->hostReadiness([](const ReadinessSet::Event *, int) {}),
                     "the server serves its connections inside the loop's own wait");
    }

    void cleanup()
    {
        m_server.reset();
        m_app.reset();
    }

    void answerIsFramedByteForByte_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("idleConnections");
        QTest::newRow("IPv4") << QStringLiteral("127.0.0.1") << 0;
        QTest::newRow("IPv6") << QStringLiteral("::1") << 0;
        // Held connections are watched without holding anyone up.
        QTest::newRow("IPv4 beside 1,000 idle connections") << QStringLiteral("127.0.0.1") << 1000;
    }

    void answerIsFramedByteForByte()
    {
        QFETCH(QString, host);
        QFETCH(int, idleConnections);
        QTcpServer probe;
        if (!probe.listen(QHostAddress(host)))
            QSKIP("no such loopback address here");
        IdleClients idle;
        if (idleConnections > 0) {
            // Both ends of every connection live in this process.
            struct rlimit files = {};
            QVERIFY(::getrlimit(RLIMIT_NOFILE, &files) == 0);
            if (files.rlim_max != RLIM_INFINITY && files.rlim_max < rlim_t(2 * idleConnections + 256))
                QSKIP("the open-file limit is too low for the idle connections");
            const rlim_t saved = files.rlim_cur;
            files.rlim_cur = files.rlim_max;
            QVERIFY(::setrlimit(RLIMIT_NOFILE, &files) == 0);
            auto restore = qScopeGuard([&files, saved] {
                files.rlim_cur = saved;
                ::setrlimit(RLIMIT_NOFILE, &files);
            });
            CommandServer::Limits limits;
            limits.maxConnections = idleConnections + 16;
            limits.maxConnectionsPerPeer = idleConnections + 16;
            m_server.reset();
            m_server = std::make_unique<CommandServer>(dispatchTo(*m_app), limits);
            QVERIFY(m_server->listen(0));
            g_port = m_server->serverPort();
            QVERIFY(idle.open(idleConnections, *m_server));
        }
        Client client(host);
        QVERIFY(client.connected());
        client.send(post(R"({"Msg":"NoSuchCommand"})"));
        QVERIFY(client.waitForResponses(1));
        QCOMPARE(client.received(), QByteArray("HTTP/1.1 200 OK\r\n"
                                               "Access-Control-Allow-origin: *\r\n"
                                               "Content-Type:application/json\r\n"
                                               "Content-Length:10\r\n\r\n"
                                               "{\"code\":0}"));
        QCOMPARE(client.socket().state(), QAbstractSocket::ConnectedState);
        QCOMPARE(m_server->connectionCount(), idleConnections + 1);
    }

    // However the request is cut into arrivals, it is dispatched once.
    void splitRequestIsDispatchedOnce_data()
    {
        QTest::addColumn<QList<int>>("cuts");
        const QByteArray request = post(FireOpen);
        const int blankLine = request.indexOf("\r\n\r\n");
        QTest::newRow("inside the blank line") << QList<int>{blankLine + 1, blankLine + 3};
        QTest::newRow("header, then body") << QList<int>{blankLine + 4};
        QTest::newRow("inside the body") << QList<int>{blankLine + 10, request.size() - 1};
        QList<int> everyByte;
        for (int i = 1; i < request.size(); ++i)
            everyByte.append(i);
        QTest::newRow("byte by byte") << everyByte;
    }

    void splitRequestIsDispatchedOnce()
    {
        QFETCH(QList<int>, cuts);
        const QByteArray request = post(FireOpen);
        Client client;
        QVERIFY(client.connected());
        int from = 0;
        for (int cut : cuts) {
            client.send(request.mid(from, cut - from));
            QVERIFY(client.responses().isEmpty());
            from = cut;
        }
        client.send(request.mid(from));
        QVERIFY(client.waitForResponses(1));
        QCOMPARE(client.responses(), QList<QByteArray>{framed(R"({"code":200})")});
        QCOMPARE(m_app->handOffs, QStringList{QStringLiteral("stb 5||1|")});
        // Each wait is told once for the request, not once per piece.
        const QString log = newLogText();
        QVERIFY(log.count(QStringLiteral("头部不完整")) <= 1);
        QVERIFY(log.count(QStringLiteral("Body不完整")) <= 1);
    }

    // Requests sent in one go are handed over while earlier ones still await
    // their answers, up to a turn's worth; the answers go out in request
    // order, an early one waiting for those before it.
    void requestsInOneSegmentAreAnsweredInOrder_data()
    {
        QTest::addColumn<QByteArrayList>("bodies");
        QTest::addColumn<QByteArrayList>("answers");
        QTest::addColumn<int>("handedOverBeforeRelayAnswer");
        const QByteArray unknown = R"({"Msg":"Unknown"})";
        const QByteArray relay = R"({"Msg":"EmpowerCode","unAccount":7,"data":{"wait":true}})";
        const QByteArray ok = R"({"code":200})";
        const QByteArray zero = R"({"code":0})";
        const QByteArray relayed = R"({"relay":7})";
        QTest::newRow("all answered at once") << QByteArrayList{FireOpen, unknown, FireClose}
                                              << QByteArrayList{ok, zero, ok} << -1;
        QTest::newRow("later answers wait for the relay")
            << QByteArrayList{relay, FireOpen, unknown} << QByteArrayList{relayed, ok, zero} << 2;
        QTest::newRow("relay between answered ones")
            << QByteArrayList{FireOpen, relay, FireClose} << QByteArrayList{ok, relayed, ok} << 3;
        const int turn = CommandServer::Limits().requestsPerTurn;
        QByteArrayList many{relay};
        QByteArrayList manyAnswers{relayed};
        for (int i = 0; i < 2 * turn; ++i) {
            many.append(FireOpen);
            manyAnswers.append(ok);
        }
        QTest::newRow("no more than a turn in line") << many << manyAnswers << turn;
    }

    void requestsInOneSegmentAreAnsweredInOrder()
    {
        QFETCH(QByteArrayList, bodies);
        QFETCH(QByteArrayList, answers);
        QFETCH(int, handedOverBeforeRelayAnswer);
        int handedOver = -1;
        m_app->whileWaiting = [&] {
            // Room for the server to take more, were it allowed to. Called
            // from a posted event: the nested loop would not deliver others.
            for (int i = 0; i < 10; ++i) {
                QCoreApplication::sendPostedEvents();
                QCoreApplication::processEvents();
            }
            handedOver = m_app->handOffs.size();
        };
        QByteArray requests;
        for (const QByteArray &body : bodies)
            requests += post(body);
        Client client;
        QVERIFY(client.connected());
        client.send(requests);
        QVERIFY(client.waitForResponses(answers.size()));
        QList<QByteArray> expected;
        for (const QByteArray &answer : answers)
            expected.append(framed(answer));
        QCOMPARE(client.responses(), expected);
        QCOMPARE(handedOver, handedOverBeforeRelayAnswer);
    }

    void otherMethodsCloseWithoutAnswer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("GET") << QByteArray("GET /?Msg=InfoData HTTP/1.1\r\nHost: x\r\n\r\n");
        QTest::newRow("lower-case post") << QByteArray("post / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}");
    }

    void otherMethodsCloseWithoutAnswer()
    {
        QFETCH(QByteArray, request);
        Client client;
        QVERIFY(client.connected());
        client.send(request);
        QVERIFY(client.waitForClose());
        QVERIFY(client.received().isEmpty());
    }

    // A connection that ends after a request still gets its answer first:
    // one that is not a POST behind it, or the client closing its sending
    // side, ends the connection only after the answer went out.
    void answerGoesOutBeforeTheEnd_data()
    {
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("GET behind a POST") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        QTest::newRow("client closes its sending side") << QByteArray();
    }

    void answerGoesOutBeforeTheEnd()
    {
        QFETCH(QByteArray, after);
        Client client;
        QVERIFY(client.connected());
        const QString port = QString::number(client.socket().localPort());
        if (after.isEmpty()) {
            client.socket().write(post(FireOpen));
            client.socket().flush();
            QVERIFY(::shutdown(int(client.socket().socketDescriptor()), SHUT_WR) == 0);
        } else {
            client.send(post(FireOpen) + after);
        }
        QVERIFY(client.waitForClose());
        QCOMPARE(client.responses(), QList<QByteArray>{framed(R"({"code":200})")});
        QVERIFY(newLogText().contains(QStringLiteral("HTTP连接断开,port:%1").arg(port)));
    }

    // An unrecognised length counts as 0: an empty body is answered, and the
    // body bytes then start the next header, which is not a POST.
    void unrecognisedLengthCountsAsZero_data()
    {
        QTest::addColumn<QByteArray>("lengthLine");
        QTest::newRow("lower-case field name") << QByteArray("content-length: 10");
        QTest::newRow("not a number") << QByteArray("Content-Length: ten");
    }

    void unrecognisedLengthCountsAsZero()
    {
        QFETCH(QByteArray, lengthLine);
        Client client;
        QVERIFY(client.connected());
        client.send("POST / HTTP/1.1\r\n" + lengthLine + "\r\n\r\n" + R"({"Msg":1})");
        QVERIFY(client.waitForResponses(1));
        QCOMPARE(client.responses(), QList<QByteArray>{framed(R"({"code":0})")});
        QCOMPARE(client.socket().state(), QAbstractSocket::ConnectedState);

        client.send(post(FireOpen));
        QVERIFY(client.waitForClose());
        QCOMPARE(client.responses().size(), 1);
        QVERIFY(m_app->handOffs.isEmpty());
    }

    void chineseAnswerLengthCountsBytes()
    {
        Client client;
        QVERIFY(client.connected());
        const QByteArray area = R"({"Msg":"SetRoomArea","area":"大厅二楼"})";
        client.send(post(area) + post(R"({"Msg":"GetRoomArea"})"));
        QVERIFY(client.waitForResponses(2));
        const QByteArray answer = client.responses().at(1);
        const QByteArray body = answer.mid(answer.indexOf("\r\n\r\n") + 4);
        QVERIFY(body.contains("大厅二楼"));
        QVERIFY(answer.contains("Content-Length:" + QByteArray::number(body.size()) + "\r\n"));
        QVERIFY(QString::fromUtf8(body).size() < body.size());
    }

    // Lengths and headers beyond what a receipt can need close the
    // connection without an answer; the service goes on serving others.
    void hostileLengthsCloseTheConnection_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("negative") << QByteArray("POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n{}");
        QTest::newRow("beyond the bound") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 2000000000\r\n\r\n{");
        QTest::newRow("beyond 32 bits") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n{");
        QTest::newRow("endless header") << ("POST / HTTP/1.1\r\nX: " + QByteArray(HttpFraming::MaxHeaderBytes + 10, 'a'));
    }

    void hostileLengthsCloseTheConnection()
    {
        QFETCH(QByteArray, request);
        Client client;
        QVERIFY(client.connected());
        client.send(request);
        QVERIFY(client.waitForClose());
        QVERIFY(client.received().isEmpty());

        Client other;
        QVERIFY(other.connected());
        other.send(post(FireOpen));
        QVERIFY(other.waitForResponses(1));
    }

    // A body at the bound is still taken (it is no JSON: {"code":0}); the
    // flood behind it goes beyond every bound and closes the connection.
    void floodBeyondTheBoundClosesTheConnection()
    {
        Client client;
        QVERIFY(client.connected());
        const QByteArray head = "POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(HttpFraming::MaxContentLength)
            + "\r\n\r\n";
        client.socket().write(head + QByteArray(HttpFraming::MaxReceiveBuffer + 1024, ' '));
        QVERIFY(client.waitForClose());
        const QList<QByteArray> responses = client.responses();
        QVERIFY(responses.size() <= 1);
        if (!responses.isEmpty())
            QCOMPARE(responses.first(), framed(R"({"code":0})"));
    }

    // A command that waits (the set-top box relay) keeps its connection's
    // later answers back until its own answer is out; other connections are
    // served meanwhile.
    void waitingCommandKeepsItsConnectionInOrder()
    {
        Client first;
        Client second;
        QVERIFY(first.connected());
        QVERIFY(second.connected());
        bool secondAnswered = false;
        bool firstQuiet = false;
        m_app->whileWaiting = [&] {
            first.send(post(R"({"Msg":"GetRoomArea"})"));
            second.send(post(FireClose));
            secondAnswered = second.waitForResponses(1);
            firstQuiet = first.responses().isEmpty();
        };
        first.send(post(R"({"Msg":"EmpowerCode","unAccount":"7","data":{"wait":true}})"));
        QVERIFY(first.waitForResponses(2));
        QVERIFY(secondAnswered);
        QVERIFY(firstQuiet);
        QCOMPARE(first.responses().at(0), framed(R"({"relay":7})"));
        QVERIFY(first.responses().at(1).endsWith("}\n"));
        QCOMPARE(m_app->handOffs, (QStringList{QStringLiteral("relay 7"), QStringLiteral("stb 6||1|")}));
    }

    void peerLeavingWhileItsCommandWaitsIsHarmless()
    {
        Client leaving;
        QVERIFY(leaving.connected());
        m_app->whileWaiting = [&] {
            leaving.socket().abort();
            // The server sees the end and deletes the socket while the command still waits.
            for (int i = 0; i < 20; ++i)
                QCoreApplication::processEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        };
        leaving.send(post(R"({"Msg":"EmpowerCode","unAccount":8,"data":{"wait":true}})") + post(FireOpen));

        Client other;
        QVERIFY(other.connected());
        other.send(post(R"({"Msg":"Unknown"})"));
        QVERIFY(other.waitForResponses(1));
        // What it sent before leaving was taken; its answers went with it.
        QCOMPARE(m_app->handOffs, (QStringList{QStringLiteral("relay 8"), QStringLiteral("stb 5||1|")}));
    }

    // A client that goes away while a long answer is being written loses
    // only that answer.
    void peerLeavingMidAnswerLosesOnlyItsAnswer()
    {
        const QByteArray big(2 * 1024 * 1024, 'x');
        Client writer;
        QVERIFY(writer.connected());
        writer.send(post(R"({"Msg":"SetRoomArea","big":")" + big + R"("})"));
        QVERIFY(writer.waitForResponses(1));

        Client leaving;
        QVERIFY(leaving.connected());
        leaving.send(post(R"({"Msg":"GetRoomArea"})"));
        QVERIFY(QTest::qWaitFor([&] { return !leaving.received().isEmpty(); }, 5000));
        leaving.socket().abort();

        writer.send(post(FireOpen));
        QVERIFY(writer.waitForResponses(2));
        QCOMPARE(writer.responses().at(1), framed(R"({"code":200})"));
    }

    // The log tells each step of the framing, with the client's port.
    void logLinesTellWhatHappened()
    {
        Client client;
        QVERIFY(client.connected());
        const QString port = QString::number(client.socket().localPort());
        const QByteArray request = post(FireOpen);
        const int blankLine = request.indexOf("\r\n\r\n");
        client.send(request.left(blankLine));
        client.send(request.mid(blankLine, 10));
        client.send(request.mid(blankLine + 10) + post(FireClose));
        QVERIFY(client.waitForResponses(2));
        client.send(post("abc"));
        QVERIFY(client.waitForResponses(3));
        client.send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY(client.waitForClose());

        const QString log = newLogText();
        const QStringList expected{
            QStringLiteral("http连接，远程端口:%1，头部不完整，等待更多数据").arg(port),
            QStringLiteral("http连接Body不完整，等待接受更多数据，远程端口:%1").arg(port),
            QStringLiteral("http连接，远程端口：%1，请求:%2").arg(port, QString::fromUtf8(FireOpen)),
            QStringLiteral("http连接，读取到下个请求内容， %1").arg(post(FireClose).size()),
            QStringLiteral("http连接，远程端口：%1，请求:%2").arg(port, QString::fromUtf8(FireClose)),
            QStringLiteral("http连接数据错误，len: 3, data: abc"),
            QStringLiteral("http连接不是POST请求, 远程端口:%1, 内容:GET / HTTP/1.1\r\nHost: x").arg(port),
            QStringLiteral("HTTP连接断开,port:%1").arg(port),
        };
        int from = 0;
        for (const QString &line : expected) {
            const int at = log.indexOf(line, from);
            QVERIFY2(at >= 0, qPrintable(line));
            from = at + line.size();
        }
    }

    // A browser's preflight before a JSON POST is answered in its place among
    // the connection's answers; the POST answers around it are unchanged.
    void preflightIsAnsweredInOrder()
    {
        Client client;
        QVERIFY(client.connected());
        const QString port = QString::number(client.socket().localPort());
        const QByteArray preflight = "OPTIONS / HTTP/1.1\r\nHost: 127.0.0.1:12380\r\nOrigin: http://till.example\r\n"
                                     "Access-Control-Request-Method: POST\r\n"
                                     "Access-Control-Request-Headers: content-type\r\n"
                                     "Access-Control-Request-Private-Network: true\r\n\r\n";
        client.send(post(FireOpen) + preflight + post(FireClose));
        QVERIFY(client.waitForResponses(3));
        const QList<QByteArray> responses = client.responses();
        QCOMPARE(responses.at(0), framed(R"({"code":200})"));
        QCOMPARE(responses.at(1), QByteArray("HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
                                             "Access-Control-Allow-Methods: POST, OPTIONS\r\n"
                                             "Access-Control-Allow-Headers: content-type\r\n"
                                             "Access-Control-Allow-Private-Network: true\r\n"
                                             "Access-Control-Max-Age: 600\r\nContent-Length: 0\r\n\r\n"));
        QCOMPARE(responses.at(2), framed(R"({"code":200})"));
        QCOMPARE(client.socket().state(), QAbstractSocket::ConnectedState);
        QVERIFY(newLogText().contains(
            QStringLiteral("http连接CORS预检请求，远程端口:%1，来源:http://till.example").arg(port)));
    }

    // Connections that never complete a request are closed after a while,
    // so idle ones cannot keep the cashier out once files run short.
    void idleConnectionsAreClosedUnderAFileLimit()
    {
        m_server.reset();
        const int idleCount = 60;
        struct rlimit saved = {};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
        // Room for fewer connections than the idle ones need: both of their
        // ends live in this process.
        struct rlimit lowered = saved;
        lowered.rlim_cur = openFiles() + idleCount + 20;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
        auto restore = qScopeGuard([&saved] { ::setrlimit(RLIMIT_NOFILE, &saved); });

        CommandServer::Limits limits;
        limits.clock = &m_clock;
        limits.idleCheckMs = 20;
        m_server = std::make_unique<CommandServer>(dispatchTo(*m_app), limits);
        QVERIFY(m_server->listen(0));
        g_port = m_server->serverPort();

        std::vector<std::unique_ptr<Client>> idle;
        for (int i = 0; i < idleCount; ++i)
            idle.push_back(std::make_unique<Client>());
        QTest::qWait(300);
        const auto stillOpen = [&idle] {
            return std::count_if(idle.begin(), idle.end(), [](const std::unique_ptr<Client> &c) {
                return c->socket().state() == QAbstractSocket::ConnectedState;
            });
        };
        QVERIFY(stillOpen() > 0);

        m_clock.advanceMs(59000);
        QTest::qWait(100);
        QVERIFY(stillOpen() > 0);
        m_clock.advanceMs(2000);
        QTRY_COMPARE_WITH_TIMEOUT(stillOpen(), 0, 10000);
        idle.clear();

        Client cashier;
        QVERIFY(cashier.connected());
        cashier.send(post(FireOpen));
        QVERIFY(cashier.waitForResponses(1));
        QVERIFY(newLogText().contains(QStringLiteral("60秒内未收到完整请求")));
    }

    // One client pipelining a long run of requests has them taken in turns:
    // the event loop, and with it every other client, gets between them.
    void pipelinedRunIsTakenInTurns()
    {
        int passes = 0;
        QTimer pass;
        connect(&pass, &QTimer::timeout, [&passes] { ++passes; });
        pass.start(0);
        QList<int> passAtDispatch;
        m_server.reset();
        m_server = std::make_unique<CommandServer>([&](const QByteArray &body, const CommandServer::Answer &answer) {
            passAtDispatch.append(passes);
            m_app->dispatcher.dispatchCommand(body, answer);
        });
        QVERIFY(m_server->listen(0));
        g_port = m_server->serverPort();

        // Beyond what one connection may hold unread: requests waiting for
        // their turn are not taken for a flood.
        const int count = HttpFraming::MaxReceiveBuffer / post(R"({"Msg":"Unknown"})").size() + 1000;
        QByteArray run;
        for (int i = 0; i < count; ++i)
            run += post(R"({"Msg":"Unknown"})");
        Client client;
        QVERIFY(client.connected());
        // Into the system's buffers before the server reads any of it.
        client.socket().write(run);
        while (client.socket().bytesToWrite() > 0 && client.socket().waitForBytesWritten(2000)) {
        }
        QTRY_COMPARE_WITH_TIMEOUT(passAtDispatch.size(), count, 60000);
        QVERIFY2(passAtDispatch.last() - passAtDispatch.first() >= count / CommandServer::Limits().requestsPerTurn / 2,
                 qPrintable(QString::number(passAtDispatch.last() - passAtDispatch.first())));
        QTRY_COMPARE_WITH_TIMEOUT(client.responses().size(), count, 60000);
        QCOMPARE(client.socket().state(), QAbstractSocket::ConnectedState);
    }

    // Unfinished bodies on many connections cannot add up without bound:
    // beyond the total, the connection holding most is closed, and a
    // cashier's small request still gets in.
    void heldBytesAreBoundedOverAllConnections()
    {
        m_server.reset();
        CommandServer::Limits limits;
        limits.maxHeldBytes = 1024 * 1024;
        m_server = std::make_unique<CommandServer>(dispatchTo(*m_app), limits);
        QVERIFY(m_server->listen(0));
        g_port = m_server->serverPort();

        std::vector<std::unique_ptr<Client>> holders;
        for (int i = 0; i < 5; ++i) {
            holders.push_back(std::make_unique<Client>());
            QVERIFY(holders.back()->connected());
            holders.back()->send("POST / HTTP/1.1\r\nContent-Length: 4000000\r\n\r\n"
                                 + QByteArray(400 * 1024 + i * 1024, 'x'));
        }
        const auto closed = [&holders] {
            return std::count_if(holders.begin(), holders.end(), [](const std::unique_ptr<Client> &c) {
                return c->socket().state() == QAbstractSocket::UnconnectedState;
            });
        };
        QTRY_VERIFY_WITH_TIMEOUT(closed() >= 3, 10000);

        Client cashier;
        QVERIFY(cashier.connected());
        cashier.send(post(FireOpen));
        QVERIFY(cashier.waitForResponses(1));
        QVERIFY(newLogText().contains(QStringLiteral("http连接占用内存过多，连接已关闭")));
    }

    // A taken port is told once and tried again until it is free.
    void takenPortIsTriedUntilFree()
    {
        m_server.reset();
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::Any, 0));
        const quint16 port = other.serverPort();
        CommandServer::Limits limits;
        limits.listenRetryMs = 50;
        m_server = std::make_unique<CommandServer>(dispatchTo(*m_app), limits);
        QSignalSpy listening(m_server.get(), &CommandServer::listeningChanged);
        m_server->keepListening(port);
        QVERIFY(!m_server->isListening());
        QCOMPARE(listening.size(), 1);
        QCOMPARE(listening.first().first().toBool(), false);
        QTest::qWait(200);
        QCOMPARE(listening.size(), 1);

        other.close();
        QVERIFY(listening.wait(5000));
        QCOMPARE(listening.at(1).first().toBool(), true);
        g_port = port;
        Client client;
        QVERIFY(client.connected());
        client.send(post(FireOpen));
        QVERIFY(client.waitForResponses(1));
        const QString log = newLogText();
        QCOMPARE(log.count(QStringLiteral("监听失败")), 1);
        QCOMPARE(log.count(QStringLiteral("http服务端口%1监听成功").arg(port)), 1);
    }

    // Answers a client never reads are not kept without bound.
    void clientNotReadingIsCutOff()
    {
        const QByteArray big(1024 * 1024, 'y');
        Client writer;
        QVERIFY(writer.connected());
        writer.send(post(R"({"Msg":"SetRoomArea","big":")" + big + R"("})"));
        QVERIFY(writer.waitForResponses(1));

        Client deaf;
        QVERIFY(deaf.connected());
        deaf.socket().setReadBufferSize(64 * 1024);
        QByteArray requests;
        for (int i = 0; i < 40; ++i)
            requests += post(R"({"Msg":"GetRoomArea"})");
        deaf.send(requests);
        writer.send(post(FireOpen));
        QVERIFY(writer.waitForResponses(2));

        // Reading again, the client finds its connection closed early.
        deaf.socket().setReadBufferSize(0);
        QVERIFY(QTest::qWaitFor(
            [&] {
                deaf.received();
                return deaf.socket().state() == QAbstractSocket::UnconnectedState;
            },
            10000));
        QVERIFY(deaf.responses().size() < 40);
    }

private:
    static int openFiles() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size(); }

    // Log text written since the last call.
    QString newLogText()
    {
        QDateTime noRemoval = m_clock.localNow().addDays(1);
        PrinterLog.runPass(noRemoval);
        const QByteArray all = TestSupport::readAll(logDirectory() + QStringLiteral("/PrinterLog_2026-01-15.log"));
        const QString text = QString::fromUtf8(all.mid(m_logRead));
        m_logRead = all.size();
        return text;
    }

    QTemporaryDir m_folder;
    std::unique_ptr<RecordingTargets> m_app;
    std::unique_ptr<CommandServer> m_server;
    ManualClock m_clock;
    int m_logRead = 0;
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariable("KORVEL_TEST_EVENT_LOOP") == QLatin1String("service")) {
        auto *loop = new EventDispatcher;
        if (!loop->isValid())
            qFatal("the service's event loop could not get its epoll set or wake-up counter");
        QCoreApplication::setEventDispatcher(loop);
    }
    QCoreApplication app(argc, argv);
    tst_CommandServer test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_CommandServer.moc"
