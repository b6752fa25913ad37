#include "common/CoordinationProtocol.h"

#include "common/UntrustedJson.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUdpSocket>

namespace {

QByteArray cut(QByteArray text, int limit)
{
    if (text.size() > limit)
        text.truncate(limit);
    return text;
}

} // namespace

QByteArray CoordinationProtocol::request(const QString &query, const QString &time)
{
    return cut("{\"query\":\"" + query.toUtf8() + "\",\"time\":\"" + time.toUtf8() + "\"}", RequestLimit);
}

QByteArray CoordinationProtocol::answer(const QString &query, const QString &check)
{
    return cut("{\"query\":\"" + query.toUtf8() + "\",\"check\":\"" + check.toUtf8() + "\"}", AnswerLimit);
}

QByteArray CoordinationProtocol::quitRequest(const QString &query)
{
    return cut("{\"query\":\"" + query.toUtf8() + "\"}", QuitLimit);
}

CoordinationProtocol::Message CoordinationProtocol::parse(const QByteArray &text)
{
    const QJsonObject object = UntrustedJson::parseObject(text);
    Message message;
    message.query = object.value(QLatin1String("query")).toString();
    message.time = object.value(QLatin1String("time")).toString();
    message.check = object.value(QLatin1String("check")).toString();
    return message;
}

QList<QByteArray> CoordinationProtocol::takePendingDatagrams(QUdpSocket &socket, QList<QHostAddress> *senders)
{
    QList<QByteArray> datagrams;
    while (socket.hasPendingDatagrams()) {
        const qint64 announced = socket.pendingDatagramSize();
        QByteArray buffer(int(qMax<qint64>(announced, 0)), Qt::Uninitialized);
        QHostAddress sender;
        const qint64 read = socket.readDatagram(buffer.data(), buffer.size(), &sender);
        if (read < 0)
            break; // the socket failed; what is left stays for the next pass
        if (announced < 0 || read != announced)
            continue;
        datagrams.append(buffer);
        if (senders)
            senders->append(sender);
    }
    return datagrams;
}

void CoordinationProtocol::sendTwice(QUdpSocket &socket, const QByteArray &text, quint16 port)
{
    for (int copy = 0; copy < 2; ++copy)
        socket.writeDatagram(text, QHostAddress(QHostAddress::LocalHost), port);
}

void CoordinationProtocol::sendQuitToService()
{
    QUdpSocket socket;
    sendTwice(socket, quitRequest(QStringLiteral("IsUpdated")), ServicePort);
    socket.close();
}
