// Receiving side of the set-top-box benchmark: the real information service
// with its log writers, in the benchmark's service namespace. It asks for the
// box list (InfoData) every 100 ms while the load runs, and when the load
// generator has written its expectations it checks every box's record and
// prints a JSON report.
//
//   korvel_stb_bench_host FIRST_BOX_ADDR BOXES EXPECT_FILE WORK_DIR

#include "common/PrinterJson.h"
#include "service/log/LogFacility.h"
#include "service/stb/InformationServices.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace {

struct UdpCounters
{
    qint64 inDatagrams = 0;
    qint64 receiveBufferErrors = 0;
};

// The namespace's UDP counters: drops for a full receive buffer show here.
UdpCounters readUdpCounters()
{
    QFile file(QStringLiteral("/proc/net/snmp"));
    UdpCounters counters;
    if (!file.open(QIODevice::ReadOnly))
        return counters;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (int i = 0; i + 1 < lines.size(); ++i) {
        if (!lines[i].startsWith("Udp:") || !lines[i + 1].startsWith("Udp:"))
            continue;
        const QList<QByteArray> names = lines[i].simplified().split(' ');
        const QList<QByteArray> values = lines[i + 1].simplified().split(' ');
        for (int k = 0; k < names.size() && k < values.size(); ++k) {
            if (names[k] == "InDatagrams")
                counters.inDatagrams = values[k].toLongLong();
            else if (names[k] == "RcvbufErrors")
                counters.receiveBufferErrors = values[k].toLongLong();
        }
        break;
    }
    return counters;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 statusLogLines()
{
    qint64 lines = 0;
    const QStringList files = QDir(logDirectory()).entryList({QStringLiteral("VodLog_*.log")}, QDir::Files);
    for (const QString &name : files) {
        QFile file(logDirectory() + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray marker = QStringLiteral("机顶盒状态信息更新").toUtf8();
        while (!file.atEnd()) {
            if (file.readLine().contains(marker))
                ++lines;
        }
    }
    return lines;
}

double percentile(QVector<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    return values.at(qMin(values.size() - 1, int(p * values.size())));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 5) {
        fprintf(stderr, "usage: %s FIRST_BOX_ADDR BOXES EXPECT_FILE WORK_DIR\n", argv[0]);
        return 2;
    }
    const quint32 firstBox = QHostAddress(QString::fromLatin1(argv[1])).toIPv4Address();
    const int boxes = atoi(argv[2]);
    const QString expectFile = QString::fromLocal8Bit(argv[3]);
    const QString workDir = QString::fromLocal8Bit(argv[4]);

    initLogDirectory(workDir);
    PrinterLog.start(QThread::IdlePriority);
    VodLog.start(QThread::IdlePriority);

    CPrinterJson store(workDir);
    CInformationServices::Context context;
    context.localAddress = [] { return qEnvironmentVariable("KORVEL_SVC_ADDR"); };
    context.broadcastAddress = [] { return qEnvironmentVariable("KORVEL_SVC_BCAST"); };
    context.readJsonFile = [&store](const QString &name) { return store.readJson(name); };
    context.writeJsonFile = [&store](const QJsonObject &object, const QString &name) { return store.writeJson(object, name); };
    CInformationServices service(context);

    const UdpCounters countersAtStart = readUdpCounters();
    const double cpuAtStart = cpuSeconds();
    QElapsedTimer wall;
    wall.start();

    QVector<double> fullListMs;
    int largestList = 0;
    QTimer infoData;
    QObject::connect(&infoData, &QTimer::timeout, [&] {
        QElapsedTimer took;
        took.start();
        const QString answer = service.getStbInfo();
        const double ms = double(took.nsecsElapsed()) / 1e6;
        const int listed = answer.count(QLatin1String("\"unAccount\""));
        largestList = qMax(largestList, listed);
        if (listed >= boxes)
            fullListMs.append(ms);
    });
    infoData.start(100);

    double cpuUsed = 0;
    double wallUsed = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!QFile::exists(expectFile) || cpuUsed > 0)
            return;
        cpuUsed = cpuSeconds() - cpuAtStart;
        wallUsed = double(wall.elapsed()) / 1000;
        infoData.stop();
        // Let the socket drain and the log writer catch up before counting.
        QTimer::singleShot(1500, [&] {
            qint64 logged = statusLogLines();
            for (int i = 0; i < 20; ++i) {
                QThread::msleep(500);
                const qint64 again = statusLogLines();
                if (again == logged)
                    break;
                logged = again;
            }

            QHash<quint32, quint32> expected;
            QFile file(expectFile);
            qint64 sent = 0;
            if (file.open(QIODevice::ReadOnly)) {
                QTextStream in(&file);
                while (!in.atEnd()) {
                    quint32 box = 0, seq = 0;
                    in >> box >> seq;
                    if (in.status() != QTextStream::Ok)
                        break;
                    expected.insert(box, seq);
                    sent += seq;
                }
            }
            int missing = 0, stale = 0, misread = 0;
            QHash<quint32, StbInfo> records;
            for (const StbInfo &info : service.stbInfoList())
                records.insert(info.unAccount, info);
            for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
                const quint32 box = it.key();
                if (!records.contains(100000 + box)) {
                    ++missing;
                    continue;
                }
                const StbInfo info = records.value(100000 + box);
                if (info.roomName != QStringLiteral("Room %1").arg(box)
                    || info.strIp != QHostAddress(firstBox + box).toString() || info.cprtPayStatus != 1
                    || info.isServer != (box < 4 ? 1 : 0))
                    ++misread;
                else if (info.cprtTime != it.value())
                    ++stale;
            }
            const UdpCounters countersAtEnd = readUdpCounters();
            QJsonObject report{{"sent", sent},
                               {"handled", logged},
                               {"lost", sent - logged},
                               {"kernelReceiveBufferDrops", countersAtEnd.receiveBufferErrors - countersAtStart.receiveBufferErrors},
                               {"boxesMissing", missing},
                               {"boxesStale", stale},
                               {"boxesMisread", misread},
                               {"infoDataSamplesWithAllBoxes", fullListMs.size()},
                               {"largestList", largestList},
                               {"infoDataMedianMs", percentile(fullListMs, 0.5)},
                               {"infoDataP99Ms", percentile(fullListMs, 0.99)},
                               {"infoDataMaxMs", percentile(fullListMs, 1.0)},
                               {"cpuPercentOfOneCore", 100.0 * cpuUsed / qMax(wallUsed, 0.001)},
                               {"seconds", wallUsed}};
            printf("%s\n", QJsonDocument(report).toJson(QJsonDocument::Compact).constData());
            fflush(stdout);
            QCoreApplication::quit();
        });
    });
    watch.start(100);

    printf("{\"ready\":true}\n");
    fflush(stdout);
    return app.exec();
}
