// Throughput of the updater's package checksum (read back from disk, then
// CRC) beside zlib's crc32 over the same bytes already in memory.
// Run through scripts/bench-updater.
#include "updater/PackageChecksum.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>

#include <zlib.h>

#include <cstdio>
#include <functional>

namespace {

// Rounds alternate between the two, so a busy machine slows both alike; the
// best round of each counts.
constexpr int Rounds = 15;

double seconds(const std::function<void()> &work)
{
    QElapsedTimer timer;
    timer.start();
    work();
    return timer.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE [MEGABYTES]\n", argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[1]);
    const int megabytes = argc > 2 ? std::atoi(argv[2]) : 100;

    QByteArray bytes(megabytes << 20, Qt::Uninitialized);
    QRandomGenerator generator(42);
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return 1;
    file.close();

    quint32 expected = 0;
    quint32 value = 0;
    double zlibSeconds = 1e9;
    double fileSeconds = 1e9;
    for (int round = 0; round < Rounds; ++round) {
        zlibSeconds = qMin(zlibSeconds, seconds([&] {
            expected = ~quint32(crc32(0, reinterpret_cast<const Bytef *>(bytes.constData()), uInt(bytes.size())));
        }));
        fileSeconds = qMin(fileSeconds, seconds([&] { PackageChecksum::ofFile(path, &value); }));
    }
    if (value != expected) {
        std::fprintf(stderr, "checksum mismatch: %u != %u\n", value, expected);
        return 1;
    }
    const double mb = bytes.size() / 1e6;
    std::printf("{\"bytes\":%d,\"zlib_crc32_MBps\":%.0f,\"package_checksum_MBps\":%.0f,\"ratio\":%.3f}\n",
                int(bytes.size()), mb / zlibSeconds, mb / fileSeconds, zlibSeconds / fileSeconds);
    return 0;
}
