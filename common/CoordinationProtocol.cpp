#include "CoordinationProtocol.h"

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
