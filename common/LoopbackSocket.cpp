#include "common/LoopbackSocket.h"

#include "platform/UdpSocketTable.h"

#include <QUdpSocket>

#include <algorithm>

namespace {

QByteArray ipv4Bytes(quint32 address)
{
    const char bytes[4] = {char(address >> 24), char(address >> 16), char(address >> 8), char(address)};
    return QByteArray(bytes, 4);
}

QByteArray ipv6Bytes(const QHostAddress &address)
{
    const Q_IPV6ADDR raw = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(raw.c), 16);
}

bool isOwn(const UdpSocketEntry &entry)
{
    return entry.uid == UdpSocketTable::currentUser();
}

// The sockets a datagram from sender:port can have come from: those bound to
// the sender's address or to the any-address of its family. An IPv4 sender's
// socket, when it has an IPv4 entry, is never the IPv6 one: the two could not
// both hold the port without sharing it.
QList<UdpSocketEntry> possibleSenders(const QHostAddress &sender, quint16 port)
{
    const QList<UdpSocketEntry> entries = UdpSocketTable::boundTo(port);
    bool isIPv4 = false;
    const quint32 ipv4 = sender.toIPv4Address(&isIPv4);
    QList<UdpSocketEntry> matches;
    if (isIPv4) {
        const QByteArray own = ipv4Bytes(ipv4), any(4, '\0');
        for (const UdpSocketEntry &entry : entries) {
            if (entry.address == own || entry.address == any)
                matches.append(entry);
        }
        if (!matches.isEmpty())
            return matches;
    }
    const QByteArray own = isIPv4 ? ipv6Bytes(QHostAddress(QStringLiteral("::ffff:") + sender.toString()))
                                  : ipv6Bytes(sender);
    const QByteArray any(16, '\0');
    for (const UdpSocketEntry &entry : entries) {
        if (entry.address == own || entry.address == any)
            matches.append(entry);
    }
    return matches;
}

} // namespace

bool LoopbackSocket::bindListener(QUdpSocket &socket, quint16 port)
{
    // Not shared: another user bound beside us would take datagrams meant
    // for us and could answer in our name.
    const bool bound = socket.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress);
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

bool LoopbackSocket::isOwnUsersSocket(const QHostAddress &sender, quint16 port)
{
    const QList<UdpSocketEntry> sockets = possibleSenders(sender, port);
    return !sockets.isEmpty() && std::all_of(sockets.cbegin(), sockets.cend(), isOwn);
}

bool LoopbackSocket::isHeldByAnyone(quint16 port)
{
    return !UdpSocketTable::boundTo(port).isEmpty();
}

bool LoopbackSocket::isHeldByOwnUser(quint16 port)
{
    const QList<UdpSocketEntry> sockets = UdpSocketTable::boundTo(port);
    return std::any_of(sockets.cbegin(), sockets.cend(), isOwn);
}

QList<uint> LoopbackSocket::otherUsersOn(quint16 port)
{
    QList<uint> users;
    for (const UdpSocketEntry &entry : UdpSocketTable::boundTo(port)) {
        if (!isOwn(entry) && !users.contains(entry.uid))
            users.append(entry.uid);
    }
    return users;
}
