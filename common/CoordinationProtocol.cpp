#include "common/CoordinationProtocol.h"

#include "common/LogThrottle.h"
#include "common/LoopbackSocket.h"
#include "common/UntrustedJson.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QDebug>
#include <QElapsedTimer>
#include <QHash>
#include <QThread>
#include <QUdpSocket>

namespace {

constexpr unsigned long QuitPollMs = 20;

QString describeSender(const QHostAddress &sender, quint16 port)
{
    return sender.toString() + QLatin1Char(':') + QString::number(port);
}

// Without a caller's list the refusal is a warning, at most one a minute.
void refuse(const QHostAddress &sender, quint16 port, QStringList *refused)
{
    if (refused) {
        refused->append(describeSender(sender, port));
        return;
    }
    static LogThrottle throttle;
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    quint64 unlogged = 0;
    if (throttle.admit(clock.elapsed(), &unlogged))
        qWarning().noquote() << "ignored a coordination datagram from another user's socket:"
                             << describeSender(sender, port) << "(" << unlogged << "more not logged)";
}

bool isOwnPort(QHash<quint16, bool> &known, const QHostAddress &sender, quint16 port,
               CoordinationProtocol::Senders accepted)
{
    auto found = known.constFind(port);
    if (found == known.constEnd()) {
        const bool own = LoopbackSocket::isOwnUsersSocket(sender, port)
                         || (accepted == CoordinationProtocol::Senders::OwnUserOrGone
                             && !LoopbackSocket::isHeldByAnyone(port));
        found = known.insert(port, own);
    }
    return found.value();
}

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

QList<QByteArray> CoordinationProtocol::takePendingDatagrams(QUdpSocket &socket, QList<QHostAddress> *senders,
                                                            QStringList *refused, Senders accepted)
{
    QList<QByteArray> datagrams;
    // One look-up per sending port and pass: a flood costs one table read.
    QHash<quint16, bool> ownPorts;
    while (socket.hasPendingDatagrams()) {
        const qint64 announced = socket.pendingDatagramSize();
        QByteArray buffer(int(qMax<qint64>(announced, 0)), Qt::Uninitialized);
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 read = socket.readDatagram(buffer.data(), buffer.size(), &sender, &senderPort);
        if (read < 0)
            break; // the socket failed; what is left stays for the next pass
        if (announced < 0 || read != announced)
            continue;
        // Other local users reach the loopback ports too; only our own
        // user's programs may steer us.
        if (LoopbackSocket::isLoopbackSender(sender) && !isOwnPort(ownPorts, sender, senderPort, accepted)) {
            refuse(sender, senderPort, refused);
            continue;
        }
        datagrams.append(buffer);
        if (senders)
            senders->append(sender);
    }
    return datagrams;
}

void CoordinationProtocol::sendTwice(QUdpSocket &socket, const QByteArray &text, quint16 port)
{
    if (!LoopbackSocket::otherUsersOn(port).isEmpty()) {
        qWarning().noquote() << "not sent: port" << port << "is held by another user";
        return;
    }
    for (int copy = 0; copy < 2; ++copy)
        socket.writeDatagram(text, QHostAddress(QHostAddress::LocalHost), port);
}

void CoordinationProtocol::sendQuitToService()
{
    QUdpSocket socket;
    sendTwice(socket, quitRequest(QStringLiteral("IsUpdated")), ServicePort);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < QuitWaitMs && LoopbackSocket::isHeldByOwnUser(ServicePort))
        QThread::msleep(QuitPollMs);
    socket.close();
}
