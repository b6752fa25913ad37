#include "service/stb/HostAddresses.h"

#include <QNetworkInterface>

namespace {

constexpr qint64 rereadAfterMs = 1000;

} // namespace

bool HostAddresses::isOwn(const QHostAddress &address, qint64 nowMs)
{
    if (contains(address))
        return true;
    if (m_read && nowMs - m_readAtMs < rereadAfterMs)
        return false;
    m_addresses = QNetworkInterface::allAddresses();
    m_readAtMs = nowMs;
    m_read = true;
    return contains(address);
}

bool HostAddresses::contains(const QHostAddress &address) const
{
    for (const QHostAddress &own : m_addresses) {
        if (own.isEqual(address, QHostAddress::ConvertV4MappedToIPv4))
            return true;
    }
    return address.isLoopback();
}
