#pragma once

#include <QHostAddress>

class QUdpSocket;

// The UDP socket on which a program hears the loopback coordination
// requests of the others (see CoordinationProtocol).
class LoopbackSocket
{
public:
    // Binds to the port on any address, shared with other programs of the
    // suite, multicast TTL 10 and no multicast loopback. False when the
    // port cannot be had; the program then simply hears no requests.
    static bool bindListener(QUdpSocket &socket, quint16 port);
    // 127.0.0.0/8, ::1 and their IPv4-mapped forms: the only senders whose
    // coordination requests count.
    static bool isLoopbackSender(const QHostAddress &sender);
};
