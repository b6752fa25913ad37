#include "platform/UdpSocketTable.h"

#include <QFile>

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// A table line: "sl local_address rem_address st tx:rx tr:tm retrnsmt uid ...",
// the local address as hex words of host order ("0100007F:4CE2").
constexpr int LocalField = 1;
constexpr int UidField = 7;
// Enough for every socket a busy host has; the table is read line by line.
constexpr qint64 MaxLineBytes = 512;

QByteArray addressBytes(const QByteArray &hex)
{
    QByteArray bytes;
    for (int word = 0; word + 8 <= hex.size(); word += 8) {
        // The kernel prints each 32-bit word of the network-order address as
        // a host-order number, so the parsed word's bytes in memory are the
        // address's bytes.
        const quint32 word32 = quint32(std::strtoul(hex.mid(word, 8).constData(), nullptr, 16));
        char raw[4];
        std::memcpy(raw, &word32, sizeof raw);
        bytes.append(raw, sizeof raw);
    }
    return bytes;
}

void readTable(const char *file, quint16 port, QList<UdpSocketEntry> *entries)
{
    QFile table(QString::fromLatin1(file));
    if (!table.open(QIODevice::ReadOnly))
        return;
    table.readLine(MaxLineBytes); // header
    while (!table.atEnd()) {
        const QList<QByteArray> fields = table.readLine(MaxLineBytes).simplified().split(' ');
        if (fields.size() <= UidField)
            continue;
        const QByteArray &local = fields.at(LocalField);
        const int colon = local.indexOf(':');
        if (colon < 0 || local.mid(colon + 1).toUShort(nullptr, 16) != port)
            continue;
        UdpSocketEntry entry;
        entry.address = addressBytes(local.left(colon));
        entry.port = port;
        entry.uid = fields.at(UidField).toUInt();
        entries->append(entry);
    }
}

} // namespace

QList<UdpSocketEntry> UdpSocketTable::boundTo(quint16 port)
{
    QList<UdpSocketEntry> entries;
    readTable("/proc/net/udp", port, &entries);
    readTable("/proc/net/udp6", port, &entries);
    return entries;
}

uint UdpSocketTable::currentUser()
{
    return ::geteuid();
}
