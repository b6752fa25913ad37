// The cashier's set-top-box commands end to end: posted to the real command
// server, carried out by the real information service, checked on the venue
// LAN (fake boxes in the harness's LAN namespace).

#include "service/app/MainApp.h"
#include "service/stb/InformationServices.h"
#include "tests/support/FakeVenue.h"
#include "tests/support/PrivateAppFolder.h"
#include "tests/support/TestSupport.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSemaphore>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <memory>
#include <vector>
#include <QtTest>

namespace {

// One cashier connection; answers are collected as complete bodies.
class Cashier
{
public:
    Cashier() { m_socket.connectToHost(QStringLiteral("127.0.0.1"), 12380); }

    bool connected()
    {
        return QTest::qWaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }

    void post(const QByteArray &body)
    {
        m_socket.write("POST / HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: "
                       + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        m_socket.flush();
    }

    QList<QByteArray> answers()
    {
        m_received += m_socket.readAll();
        QList<QByteArray> bodies;
        static const QRegularExpression length(QStringLiteral("Content-Length:(\\d+)\r\n"));
        int pos = 0;
        for (;;) {
            const int end = m_received.indexOf("\r\n\r\n", pos);
            if (end < 0)
                break;
            const auto match = length.match(QString::fromLatin1(m_received.mid(pos, end + 4 - pos)));
            const int size = match.hasMatch() ? match.captured(1).toInt() : 0;
            if (m_received.size() < end + 4 + size)
                break;
            bodies.append(m_received.mid(end + 4, size));
            pos = end + 4 + size;
        }
        return bodies;
    }

    bool waitForAnswers(int count, int ms = 8000)
    {
        return QTest::qWaitFor([&] { return answers().size() >= count; }, ms);
    }

private:
    QTcpSocket m_socket;
    QByteArray m_received;
};

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

class tst_SetTopBoxCommands : public QObject
{
    Q_OBJECT

public:
    explicit tst_SetTopBoxCommands(CMainApp *app) : m_app(app) {}

private slots:
    void initTestCase();
    void init();
    void notices_data();
    void notices();
    void infoDataListsReportingBoxes();
    void sendMessageSchedulesSubtitle();
    void relayWaitsInOrder();
    void relayStreamToSilentBox();

private:
    CMainApp *m_app;
    FakeVenue m_venue;
};

void tst_SetTopBoxCommands::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    QVERIFY(m_app && m_app->informationServices());
    QVERIFY(m_venue.start());
}

void tst_SetTopBoxCommands::init()
{
    QVERIFY(m_venue.settle(18108));
    m_venue.clear();
}

void tst_SetTopBoxCommands::notices_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("destinations");
    QTest::addColumn<QByteArray>("typeAndTimes");

    const QString bcast = FakeVenue::broadcastAddress();
    const QString box = FakeVenue::boxAddresses().at(0);
    const QString group = QStringLiteral("224.0.0.19");
    QTest::newRow("FireAlarm open") << QByteArray(R"({"Msg":"FireAlarm","query":"open"})") << QByteArray(R"({"code":200})")
                                    << QStringList{bcast, group} << QByteArray("\"times\": \"1\",\n    \"type\": \"5\"");
    QTest::newRow("FireAlarm OPEN") << QByteArray(R"({"Msg":"FireAlarm","query":"OPEN"})") << QByteArray(R"({"code":0})")
                                    << QStringList() << QByteArray();
    QTest::newRow("CloseRoom open with ip") << json({{"Msg", "CloseRoom"}, {"query", "open"}, {"ip", box}})
                                            << QByteArray(R"({"code":200})") << QStringList{box, box}
                                            << QByteArray("\"times\": \"0\",\n    \"type\": \"3\"");
    QTest::newRow("CloseRoom close, no ip") << QByteArray(R"({"Msg":"CloseRoom","query":"close"})")
                                            << QByteArray(R"({"code":200})") << QStringList{bcast, group}
                                            << QByteArray("\"times\": \"0\",\n    \"type\": \"4\"");
    QTest::newRow("DrinkMsg") << json({{"Msg", "DrinkMsg"}, {"type", 9}, {"content", "tea"}, {"ip", box}})
                              << QByteArray(R"({"code":200})") << QStringList{box, box}
                              << QByteArray("\"times\": \"0\",\n    \"type\": \"9\"");
}

void tst_SetTopBoxCommands::notices()
{
    QFETCH(QByteArray, command);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, destinations);
    QFETCH(QByteArray, typeAndTimes);

    Cashier cashier;
    QVERIFY(cashier.connected());
    cashier.post(command);
    QVERIFY(cashier.waitForAnswers(1));
    QCOMPARE(cashier.answers().first(), answer);
    QVERIFY(m_venue.settle(18108));
    const auto sent = m_venue.datagrams(FakeVenue::serviceAddress(), 18108);
    QStringList seen;
    for (const FakeVenue::Datagram &datagram : sent) {
        seen.append(datagram.destination);
        QVERIFY(datagram.data.startsWith("{\n    \"clientIP\": \"" + FakeVenue::serviceAddress().toUtf8() + "\""));
        QVERIFY(datagram.data.contains(typeAndTimes));
    }
    QCOMPARE(seen, destinations);
}

void tst_SetTopBoxCommands::infoDataListsReportingBoxes()
{
    const QString box = FakeVenue::boxAddresses().at(1);
    QVERIFY(m_venue.send(box, FakeVenue::serviceAddress(), 19262,
                         json({{"query", "stbInfo"}, {"account", 8101}, {"roomName", "Room 1"}})));
    QTRY_VERIFY(m_app->informationServices()->findStbByAccount(8101, nullptr));

    Cashier cashier;
    QVERIFY(cashier.connected());
    cashier.post(R"({"Msg":"InfoData"})");
    QVERIFY(cashier.waitForAnswers(1));
    const QByteArray answer = cashier.answers().first();
    QVERIFY2(answer.startsWith("{\"code\":180,\"data\":[{"), answer.constData());
    QVERIFY(answer.contains("\"roomName\":\"Room1\",\"strIp\":\"" + box.toUtf8() + "\",\"unAccount\":\"8101\""));
}

void tst_SetTopBoxCommands::sendMessageSchedulesSubtitle()
{
    Cashier cashier;
    QVERIFY(cashier.connected());
    cashier.post(json({{"Msg", "SendMessage"},
                       {"data", QJsonObject{{"remark", "hello"}, {"count", 2}, {"cashier_push_id", 5}, {"time", 1}}}}));
    QVERIFY(cashier.waitForAnswers(1));
    QCOMPARE(cashier.answers().first(), QByteArray(R"({"code":200})"));
    QCOMPARE(m_app->informationServices()->subtitleList().size(), 1);
    // Answered only once it is in subtitle.conf beside the program.
    QCOMPARE(m_app->readJsonFile(QStringLiteral("./subtitle.conf")).value("list").toArray().size(), 1);

    cashier.post(json({{"Msg", "SendMessage"}, {"data", QJsonObject{{"delete", 2}}}}));
    QVERIFY(cashier.waitForAnswers(2));
    QCOMPARE(m_app->informationServices()->subtitleList().size(), 0);
    QCOMPARE(m_app->readJsonFile(QStringLiteral("./subtitle.conf")).value("list").toArray().size(), 0);
}

// EmpowerCode waits for a slow box in a nested event loop. The same
// connection's next command must be answered after it, never before; another
// connection is served meanwhile. The cashiers run on a thread of their own,
// since the test's thread is the service's and waits inside the relay.
void tst_SetTopBoxCommands::relayWaitsInOrder()
{
    const QString box = FakeVenue::boxAddresses().at(2);
    QVERIFY(m_venue.send(box, FakeVenue::serviceAddress(), 19262,
                         json({{"query", "stbInfo"}, {"account", 8201}, {"roomName", "slow"}})));
    QTRY_VERIFY(m_app->informationServices()->findStbByAccount(8201, nullptr));
    FakeVenue::HttpAnswer slow;
    slow.body = R"({"result":"ok"})";
    slow.delayMs = 2000;
    QVERIFY(m_venue.serveHttp(box, slow));

    QStringList events;
    // Released on the main thread once the box has been asked, that is once
    // the relay is waiting for its answer.
    QSemaphore boxAsked;
    QScopedPointer<QThread> cashiers(QThread::create([&events, &boxAsked] {
        auto post = [](QTcpSocket &socket, const QByteArray &body) {
            socket.write("POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
            socket.waitForBytesWritten(3000);
        };
        // Reads until `count` answers are complete; returns their bodies.
        auto read = [](QTcpSocket &socket, int count) {
            QByteArray received;
            QList<QByteArray> bodies;
            while (bodies.size() < count && (socket.bytesAvailable() > 0 || socket.waitForReadyRead(8000))) {
                received += socket.readAll();
                bodies.clear();
                int pos = 0;
                for (int end; (end = received.indexOf("\r\n\r\n", pos)) >= 0;) {
                    const int field = received.indexOf("Content-Length:", pos);
                    const int size = received.mid(field + 15, received.indexOf("\r\n", field) - field - 15).toInt();
                    if (received.size() < end + 4 + size)
                        break;
                    bodies.append(received.mid(end + 4, size));
                    pos = end + 4 + size;
                }
            }
            return bodies;
        };
        QTcpSocket first;
        QTcpSocket other;
        first.connectToHost(QStringLiteral("127.0.0.1"), 12380);
        other.connectToHost(QStringLiteral("127.0.0.1"), 12380);
        if (!first.waitForConnected(3000) || !other.waitForConnected(3000))
            return;
        post(first, R"({"Msg":"EmpowerCode","unAccount":"8201","data":{"auth":"A1"}})");
        post(first, R"({"Msg":"FireAlarm","query":"close"})");
        if (!boxAsked.tryAcquire(1, 8000))
            return;
        post(other, R"({"Msg":"InfoData"})");
        for (const QByteArray &body : read(other, 1))
            events.append(QStringLiteral("other ") + QString::fromUtf8(body.left(11)));
        for (const QByteArray &body : read(first, 2))
            events.append(QStringLiteral("first ") + QString::fromUtf8(body));
    }));
    cashiers->start();
    bool told = false;
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (!told && !m_venue.httpRequests(box).isEmpty()) {
                boxAsked.release();
                told = true;
            }
            return cashiers->isFinished();
        },
        20000));

    QCOMPARE(events, (QStringList{QStringLiteral("other {\"code\":180"),
                                  QStringLiteral("first {\n    \"result\": \"ok\"\n}\n"),
                                  QStringLiteral("first {\"code\":200}")}));
    QCOMPARE(m_venue.httpRequests(box).size(), 1);
}

// A stream of checks for a box that accepts the connection and never
// answers: every check is answered with the failure text once its own wait
// is over, first come first answered, and the service keeps serving.
void tst_SetTopBoxCommands::relayStreamToSilentBox()
{
    const QString box = FakeVenue::boxAddresses().at(0);
    QVERIFY(m_venue.send(box, FakeVenue::serviceAddress(), 19262,
                         json({{"query", "stbInfo"}, {"account", 8301}, {"roomName", "silent"}})));
    QTRY_VERIFY(m_app->informationServices()->findStbByAccount(8301, nullptr));
    FakeVenue::HttpAnswer silent;
    silent.silent = true;
    QVERIFY(m_venue.serveHttp(box, silent));

    const int streams = 40;
    QList<int> answerOrder;
    QByteArray otherAnswer;
    QScopedPointer<QThread> cashiers(QThread::create([&answerOrder, &otherAnswer] {
        const QByteArray body = R"({"Msg":"EmpowerCode","unAccount":8301,"data":{"auth":"S"}})";
        const QByteArray request = "POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        std::vector<QByteArray> received(streams);
        QEventLoop loop;
        for (int i = 0; i < streams; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            QTcpSocket *socket = sockets.back().get();
            QObject::connect(socket, &QTcpSocket::readyRead, [&, socket, i] {
                received[i] += socket->readAll();
                if (received[i].endsWith("}") && !answerOrder.contains(i)) {
                    answerOrder.append(i);
                    if (answerOrder.size() == streams)
                        loop.quit();
                }
            });
            socket->connectToHost(QStringLiteral("127.0.0.1"), 12380);
            if (!socket->waitForConnected(3000))
                return;
            socket->write(request);
            socket->waitForBytesWritten(3000);
            QThread::msleep(25);
        }
        // Meanwhile another cashier is served at once.
        QTcpSocket other;
        other.connectToHost(QStringLiteral("127.0.0.1"), 12380);
        if (other.waitForConnected(3000)) {
            const QByteArray info = R"({"Msg":"InfoData"})";
            other.write("POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(info.size()) + "\r\n\r\n" + info);
            while (!otherAnswer.endsWith("]}") && other.waitForReadyRead(3000))
                otherAnswer += other.readAll();
            if (answerOrder.isEmpty())
                otherAnswer.prepend("before any check: ");
        }
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        loop.exec();
    }));
    cashiers->start();
    QVERIFY(QTest::qWaitFor([&] { return cashiers->isFinished(); }, 40000));

    QVERIFY2(otherAnswer.startsWith("before any check: HTTP/1.1 200"), otherAnswer.constData());
    QList<int> sent;
    for (int i = 0; i < streams; ++i)
        sent.append(i);
    QCOMPARE(answerOrder, sent);
}

int main(int argc, char **argv)
{
    if (!TestSupport::inHarness()) {
        QCoreApplication app(argc, argv);
        tst_SetTopBoxCommands test(nullptr);
        return QTest::qExec(&test, argc, argv);
    }
    int status = 0;
    if (PrivateAppFolder::rerunFromCopy(argv, &status))
        return status;
    CMainApp app(argc, argv);
    tst_SetTopBoxCommands test(&app);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SetTopBoxCommands.moc"
