#include "common/LoopbackSocket.h"

#include <QUdpSocket>

bool LoopbackSocket::bindListener(QUdpSocket &socket, quint16 port)
{
    const bool bound = socket.bind(QHostAddress::AnyIPv4, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
    socket.setSocketOption(QAbstractSocket::MulticastTtlOption, 10);
    socket.setSocketOption(QAbstractSocket::MulticastLoopbackOption, 0);
    return bound;
}

bool LoopbackSocket::isLoopbackSender(const QHostAddress &sender)
{
    if (sender.isLoopback())
        return true;
    bool isIPv4 = false;
    const quint32 ipv4 = sender.toIPv4Address(&isIPv4);
    return isIPv4 && (ipv4 >> 24) == 127;
}
