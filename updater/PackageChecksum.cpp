#include "updater/PackageChecksum.h"

#include <QFile>

#include <zlib.h>

namespace {

// Windows of the file mapped one after another: the CRC reads the page cache
// directly, without copying into a buffer first.
constexpr qint64 WindowBytes = 4 << 20;
constexpr qint64 BlockBytes = 1 << 20;

uLong update(uLong crc, const uchar *bytes, qint64 size)
{
    return crc32(crc, reinterpret_cast<const Bytef *>(bytes), uInt(size));
}

} // namespace

quint32 PackageChecksum::of(const QByteArray &bytes)
{
    return ~quint32(update(crc32(0L, Z_NULL, 0), reinterpret_cast<const uchar *>(bytes.constData()), bytes.size()));
}

bool PackageChecksum::ofFile(const QString &path, quint32 *value)
{
    *value = 0;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return false;
    const qint64 size = file.size();
    uLong crc = crc32(0L, Z_NULL, 0);
    qint64 done = 0;
    while (done < size) {
        const qint64 length = qMin(WindowBytes, size - done);
        uchar *window = file.map(done, length);
        if (!window)
            break;
        crc = update(crc, window, length);
        file.unmap(window);
        done += length;
    }
    // Files that cannot be mapped are read in blocks.
    if (done < size) {
        if (!file.seek(done))
            return false;
        QByteArray block(int(BlockBytes), Qt::Uninitialized);
        qint64 read = 0;
        while ((read = file.read(block.data(), BlockBytes)) > 0) {
            crc = update(crc, reinterpret_cast<const uchar *>(block.constData()), read);
            done += read;
        }
        if (read < 0)
            return false;
    }
    *value = ~quint32(crc);
    return true;
}
