#pragma once

#include <QHostAddress>
#include <QList>

// The addresses of this host's interfaces, to tell the service's own
// datagrams (a broadcast comes back to the socket that sent it) from those
// of other hosts. When asked about an address that is not among them they
// are read again, at most once a second, so that a new lease is noticed.
class HostAddresses
{
public:
    bool isOwn(const QHostAddress &address, qint64 nowMs);

private:
    bool contains(const QHostAddress &address) const;

    QList<QHostAddress> m_addresses;
    qint64 m_readAtMs = 0;
    bool m_read = false;
};
