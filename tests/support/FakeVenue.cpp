#include "tests/support/FakeVenue.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUdpSocket>
#include <QtTest>

namespace {

constexpr int replyWaitMs = 10000;

bool waitFor(const std::function<bool()> &condition, int timeoutMs = replyWaitMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
    }
    return true;
}

QString env(const char *name, const char *fallback)
{
    const QString value = qEnvironmentVariable(name);
    return value.isEmpty() ? QString::fromLatin1(fallback) : value;
}

} // namespace

FakeVenue::FakeVenue()
{
    connect(&m_process, &QProcess::readyReadStandardOutput, this, &FakeVenue::readEvents);
}

FakeVenue::~FakeVenue()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

QString FakeVenue::serviceAddress() { return env("KORVEL_SVC_ADDR", "10.77.0.1"); }
QString FakeVenue::broadcastAddress() { return env("KORVEL_SVC_BCAST", "10.77.0.255"); }
QString FakeVenue::lanAddress() { return env("KORVEL_LAN_ADDR", "10.77.0.2"); }
QStringList FakeVenue::boxAddresses()
{
    return env("KORVEL_BOX_ADDRS", "10.77.0.11 10.77.0.12 10.77.0.13").split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

bool FakeVenue::start()
{
    const QString lan = qEnvironmentVariable("KORVEL_LAN_NS");
    if (lan.isEmpty()) {
        qWarning("FakeVenue: KORVEL_LAN_NS is not set");
        return false;
    }
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("exec"), lan,
                                           QStringLiteral(KORVEL_BINARY_DIR_STRING "/tests/support/korvel_fake_venue")});
    if (!m_process.waitForStarted(5000)) {
        qWarning("FakeVenue: the helper did not start");
        return false;
    }
    return waitFor([this] { return m_ready || m_process.state() == QProcess::NotRunning; }) && m_ready;
}

void FakeVenue::readEvents()
{
    m_output.append(m_process.readAllStandardOutput());
    int end;
    while ((end = m_output.indexOf('\n')) >= 0) {
        const QJsonObject event = QJsonDocument::fromJson(m_output.left(end)).object();
        m_output.remove(0, end + 1);
        const QString kind = event.value(QLatin1String("ev")).toString();
        if (kind == QLatin1String("udp")) {
            Datagram datagram;
            datagram.port = quint16(event.value(QLatin1String("port")).toInt());
            datagram.source = event.value(QLatin1String("src")).toString();
            datagram.destination = event.value(QLatin1String("dst")).toString();
            datagram.ttl = event.value(QLatin1String("ttl")).toInt(-1);
            datagram.data = QByteArray::fromBase64(event.value(QLatin1String("data")).toString().toLatin1());
            m_datagrams.append(datagram);
        } else if (kind == QLatin1String("http")) {
            m_httpRequests.append(event);
        } else if (kind == QLatin1String("fence")) {
            m_fences.append(event.value(QLatin1String("id")).toString());
        } else if (kind == QLatin1String("ready")) {
            m_ready = true;
        } else {
            m_replies.append(event);
        }
    }
}

bool FakeVenue::command(QJsonObject command, const QString &expectedEvent)
{
    const int seq = ++m_seq;
    command.insert(QStringLiteral("seq"), seq);
    m_process.write(QJsonDocument(command).toJson(QJsonDocument::Compact) + '\n');
    bool ok = false;
    const bool answered = waitFor([&] {
        for (int i = 0; i < m_replies.size(); ++i) {
            if (m_replies.at(i).value(QLatin1String("seq")).toInt() == seq) {
                ok = m_replies.takeAt(i).value(QLatin1String("ev")).toString() == expectedEvent;
                return true;
            }
        }
        return m_process.state() == QProcess::NotRunning;
    });
    return answered && ok;
}

bool FakeVenue::send(const QString &from, const QString &to, quint16 port, const QByteArray &data)
{
    return command({{"op", "send"}, {"from", from}, {"to", to}, {"port", port},
                    {"data", QString::fromLatin1(data.toBase64())}},
                   QStringLiteral("sent"));
}

bool FakeVenue::sendMany(const QString &from, const QString &to, quint16 port, const QList<QByteArray> &datagrams)
{
    QJsonArray data;
    for (const QByteArray &datagram : datagrams)
        data.append(QString::fromLatin1(datagram.toBase64()));
    return command({{"op", "send"}, {"from", from}, {"to", to}, {"port", port}, {"many", data}}, QStringLiteral("sent"));
}

bool FakeVenue::serveHttp(const QString &boxAddress, const HttpAnswer &answer)
{
    return command({{"op", "http"}, {"addr", boxAddress}, {"status", answer.status},
                    {"body", QString::fromUtf8(answer.body)}, {"headers", answer.headers},
                    {"delayMs", answer.delayMs}, {"silent", answer.silent}},
                   QStringLiteral("ok"));
}

bool FakeVenue::settle(quint16 port)
{
    // Two fences in a row: the kernel may queue datagrams of one sender on
    // different CPUs, so one fence can in rare cases overtake a datagram.
    QUdpSocket socket;
    for (int round = 0; round < 2; ++round) {
        const QString id = QString::number(++m_seq);
        socket.writeDatagram("korvel-fence:" + id.toLatin1(), QHostAddress(lanAddress()), port);
        if (!waitFor([&] { return m_fences.contains(id); }))
            return false;
    }
    return true;
}

QList<FakeVenue::Datagram> FakeVenue::datagrams(const QString &source, quint16 port) const
{
    QList<Datagram> matching;
    for (const Datagram &datagram : m_datagrams) {
        if (datagram.source == source && datagram.port == port)
            matching.append(datagram);
    }
    return matching;
}

QStringList FakeVenue::httpRequests(const QString &boxAddress) const
{
    QStringList requests;
    for (const QJsonObject &request : m_httpRequests) {
        if (request.value(QLatin1String("addr")).toString() == boxAddress)
            requests.append(request.value(QLatin1String("request")).toString());
    }
    return requests;
}

void FakeVenue::clear()
{
    m_datagrams.clear();
    m_httpRequests.clear();
}
