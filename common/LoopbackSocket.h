#pragma once

#include <QHostAddress>
#include <QList>

class QUdpSocket;

// The UDP socket on which a program hears the loopback coordination
// requests of the others (see CoordinationProtocol), and who may send them.
class LoopbackSocket
{
public:
    // Binds to the port on any address without sharing it, multicast TTL 10
    // and no multicast loopback. False when the port cannot be had (see
    // otherUsersOn() for whose it is); the program then hears no requests.
    static bool bindListener(QUdpSocket &socket, quint16 port);
    // 127.0.0.0/8, ::1 and their IPv4-mapped forms: the only senders whose
    // coordination requests count.
    static bool isLoopbackSender(const QHostAddress &sender);
    // True when the socket that sent from sender:port on this host belongs
    // to this user. A port nobody holds any more counts as a stranger's.
    static bool isOwnUsersSocket(const QHostAddress &sender, quint16 port);
    // True while any socket is bound to the local port.
    static bool isHeldByAnyone(quint16 port);
    // True while a socket of this user is bound to the local port.
    static bool isHeldByOwnUser(quint16 port);
    // The other users holding sockets on the local port.
    static QList<uint> otherUsersOn(quint16 port);
};
