#pragma once

#include <QByteArray>
#include <QList>

// The system's table of bound UDP sockets (IPv4 and IPv6) of this network
// namespace, with the user owning each: how a receiver learns whose
// program sent a loopback datagram, by the sender's port.
struct UdpSocketEntry
{
    QByteArray address; // 4 or 16 bytes, network order
    quint16 port = 0;
    uint uid = 0;
};

class UdpSocketTable
{
public:
    // The sockets bound to the local port; IPv4 entries first.
    static QList<UdpSocketEntry> boundTo(quint16 port);
    // The user whose sockets count as ours (the effective user).
    static uint currentUser();
};
