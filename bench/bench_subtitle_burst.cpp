// Writes of subtitle.conf under bursts of SendMessage, and the cashier's
// answer time for one push meanwhile. The real command server, dispatcher
// and information service run on the main thread; the clients on threads of
// their own, on loopback. Prints one JSON line per load.
//
//   bench_subtitle_burst WORK_DIR [ROUNDS]
//
// Loads: 1,000 SendMessage requests pipelined on one connection (adds and
// deletions of the same ids in turn, so that every request changes the
// list), and 100 connections sending one push each at the same moment (20
// such bursts per round, back to back). A cashier connection pushes one
// message every 10 ms throughout. Run through
// scripts/bench-subtitles (private network namespace).

#include "common/PrinterJson.h"
#include "service/log/LogFacility.h"
#include "service/http/CommandDispatcher.h"
#include "service/http/CommandServer.h"
#include "service/stb/InformationServices.h"
#include "service/testsupport/SubtitleStack.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr quint16 port = 12380;

QByteArray post(const QJsonObject &data)
{
    const QByteArray body =
        QJsonDocument(QJsonObject{{"Msg", "SendMessage"}, {"data", data}}).toJson(QJsonDocument::Compact);
    return "POST / HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\n\r\n" + body;
}

QJsonObject push(int id)
{
    return {{"remark", QStringLiteral("今晚八点抽奖 %1").arg(id)}, {"count", 5}, {"intervalTime", 60},
            {"cashier_push_id", id}, {"time", QString::number(id)}};
}

// Waits until `answers` complete answers have arrived on the socket.
bool awaitAnswers(QTcpSocket &socket, int answers, QByteArray &received)
{
    while (received.count("{\"code\":") < answers) {
        if (!socket.waitForReadyRead(30000))
            return false;
        received += socket.readAll();
    }
    return true;
}

std::unique_ptr<QTcpSocket> connectedSocket()
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket->waitForConnected(5000))
        return nullptr;
    return socket;
}

bool roundTrip(QTcpSocket &socket, const QByteArray &request)
{
    QByteArray received;
    socket.write(request);
    return socket.waitForBytesWritten(5000) && awaitAnswers(socket, 1, received);
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(std::min(values.size() - 1, size_t(p * double(values.size()))));
}

// One push every 10 ms on its own connection while `running`; answer times in ms.
void cashier(std::atomic<bool> &running, std::vector<double> &times, int &nextId)
{
    const auto socket = connectedSocket();
    if (!socket)
        return;
    while (running) {
        QElapsedTimer timer;
        timer.start();
        if (!roundTrip(*socket, post(push(nextId++))))
            return;
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
        QThread::msleep(10);
    }
}

// The subtitle stack behind a command server.
struct Service : SubtitleStack
{
    explicit Service(const QString &folder) : SubtitleStack(folder)
    {
        server = std::make_unique<CommandServer>(
            [this](const QByteArray &body, const CommandServer::Answer &answer) { dispatcher->dispatchCommand(body, answer); });
    }

    // Read on the service's own thread.
    quint64 writes()
    {
        quint64 value = 0;
        QMetaObject::invokeMethod(
            server.get(), [this, &value] { value = service->subtitleWrites(); }, Qt::BlockingQueuedConnection);
        return value;
    }

    std::unique_ptr<CommandServer> server;
};

struct Result
{
    int requests = 0;
    quint64 writes = 0;
    double seconds = 0;
    bool ok = true;
};

Result pipelined(Service &service, int firstId)
{
    Result result;
    const auto socket = connectedSocket();
    if (!socket)
        return {0, 0, 0, false};
    QByteArray requests;
    for (int i = 0; i < 500; ++i) {
        requests += post(push(firstId + i));
        requests += post(QJsonObject{{"delete", 1}, {"cashier_push_id", firstId + i}});
    }
    result.requests = 1000;
    const quint64 before = service.writes();
    QElapsedTimer timer;
    timer.start();
    socket->write(requests);
    QByteArray received;
    result.ok = awaitAnswers(*socket, result.requests, received);
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.writes = service.writes() - before;
    return result;
}

Result concurrent(Service &service, int firstId)
{
    Result result;
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    for (int i = 0; i < 100; ++i) {
        sockets.push_back(connectedSocket());
        if (!sockets.back())
            return {0, 0, 0, false};
    }
    result.requests = 100;
    const quint64 before = service.writes();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 100; ++i) {
        sockets[size_t(i)]->write(post(push(firstId + i)));
        sockets[size_t(i)]->flush();
    }
    for (auto &socket : sockets) {
        QByteArray received;
        result.ok = awaitAnswers(*socket, 1, received) && result.ok;
    }
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.writes = service.writes() - before;
    // The next round starts from an empty list.
    roundTrip(*sockets.front(), post(QJsonObject{{"delete", 2}}));
    return result;
}

void report(const char *load, int rounds, const std::vector<Result> &results, const std::vector<double> &cashierMs)
{
    quint64 writes = 0;
    int requests = 0;
    double seconds = 0;
    bool ok = true;
    for (const Result &r : results) {
        writes += r.writes;
        requests += r.requests;
        seconds += r.seconds;
        ok = ok && r.ok;
    }
    printf("{\"load\":\"%s\",\"rounds\":%d,\"requests\":%d,\"writes\":%llu,\"writesPer1000\":%.1f,"
           "\"burstSeconds\":%.3f,\"cashierPushes\":%zu,\"cashierP50Ms\":%.2f,\"cashierP99Ms\":%.2f,"
           "\"cashierMaxMs\":%.2f,\"ok\":%s}\n",
           load, rounds, requests, static_cast<unsigned long long>(writes),
           requests > 0 ? 1000.0 * double(writes) / requests : 0.0, seconds, cashierMs.size(),
           percentile(cashierMs, 0.5), percentile(cashierMs, 0.99), percentile(cashierMs, 1.0), ok ? "true" : "false");
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: %s WORK_DIR [ROUNDS]\n", argv[0]);
        return 2;
    }
    const QString workDir = QString::fromLocal8Bit(argv[1]);
    const int rounds = argc > 2 ? atoi(argv[2]) : 5;
    initLogDirectory(workDir);
    PrinterLog.start(QThread::IdlePriority);
    VodLog.start(QThread::IdlePriority);

    Service service(workDir);
    if (!service.server->listen(port)) {
        fprintf(stderr, "port %u is taken\n", unsigned(port));
        return 1;
    }

    int status = 0;
    std::thread clients([&] {
        int cashierId = 1000000;
        using Load = Result (*)(Service &, int);
        const std::pair<const char *, Load> loads[] = {
            {"alone", nullptr}, {"pipelined 1000 on one connection", pipelined}, {"100 connections at once", concurrent}};
        for (const auto &load : loads) {
            std::atomic<bool> running{true};
            std::vector<double> cashierMs;
            std::thread cashierThread(cashier, std::ref(running), std::ref(cashierMs), std::ref(cashierId));
            std::vector<Result> results;
            // A burst of 100 is over in a moment: many of them back to back,
            // so that the cashier's pushes meet them.
            const int repeats = load.second == concurrent ? rounds * 20 : rounds;
            for (int round = 0; round < repeats; ++round) {
                if (load.second)
                    results.push_back(load.second(service, 1 + round * 1000));
                else
                    QThread::msleep(1000);
            }
            running = false;
            cashierThread.join();
            report(load.first, repeats, results, cashierMs);
            // The cashier's pushes go again before the next load.
            if (const auto socket = connectedSocket())
                roundTrip(*socket, post(QJsonObject{{"delete", 2}}));
            for (const Result &r : results)
                status = r.ok ? status : 1;
        }
        QMetaObject::invokeMethod(&app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    app.exec();
    clients.join();
    stopLogWriters();
    return status;
}
