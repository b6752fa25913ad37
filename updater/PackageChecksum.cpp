#include "updater/PackageChecksum.h"

#include <QFile>

#include <zlib.h>

namespace {

// Large enough that reading costs little beside the CRC itself.
constexpr qint64 BlockBytes = 1 << 20;

} // namespace

quint32 PackageChecksum::of(const QByteArray &bytes)
{
    const uLong crc = crc32(crc32(0L, Z_NULL, 0), reinterpret_cast<const Bytef *>(bytes.constData()),
                            uInt(bytes.size()));
    return ~quint32(crc);
}

bool PackageChecksum::ofFile(const QString &path, quint32 *value)
{
    *value = 0;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    QByteArray block(int(BlockBytes), Qt::Uninitialized);
    uLong crc = crc32(0L, Z_NULL, 0);
    qint64 read = 0;
    while ((read = file.read(block.data(), BlockBytes)) > 0)
        crc = crc32(crc, reinterpret_cast<const Bytef *>(block.constData()), uInt(read));
    if (read < 0)
        return false;
    *value = ~quint32(crc);
    return true;
}
