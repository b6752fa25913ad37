// The updater's package handling, one measurement per run so that the
// process's peak memory is that of the measurement alone:
//   unpack PACKAGE FOLDER      unpacks a copy of PACKAGE into FOLDER
//   verify FILE MINISIG PUBKEY verifies FILE's signature
// Prints one JSON line: seconds, peak resident memory, result.
// Run through scripts/bench-updater.
#include "updater/PackageSignature.h"
#include "updater/Zip.h"
#include "updater/ZipResponse.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {

qint64 peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

void report(const char *what, double seconds, bool result)
{
    std::printf("{\"run\":\"%s\",\"seconds\":%.3f,\"peak_rss_kB\":%lld,\"result\":%s}\n", what, seconds,
                static_cast<long long>(peakResidentKiB()), result ? "true" : "false");
}

int unpack(const QString &package, const QString &folder)
{
    // The unpacker deletes its package: it works on a copy.
    const QString copy = folder + QStringLiteral("/update.zip");
    if (!QFile::copy(package, copy))
        return 1;
    QElapsedTimer timer;
    timer.start();
    ZipResponse *response = Zip::decompressionAsync(copy, folder);
    bool result = false;
    QObject::connect(response, &ZipResponse::finished, [&result](bool done) {
        result = done;
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    report("unpack", timer.nsecsElapsed() / 1e9, result);
    delete response;
    return result ? 0 : 1;
}

int verify(const QString &file, const QString &signaturePath, const QString &keyPath)
{
    QFile key(keyPath);
    QFile signature(signaturePath);
    if (!key.open(QIODevice::ReadOnly) || !signature.open(QIODevice::ReadOnly))
        return 1;
    QString error;
    const auto publicKey = PackageSignature::fromPublicKey(QString::fromUtf8(key.readAll()), &error);
    if (!publicKey)
        return 1;
    const QByteArray text = signature.readAll();
    QElapsedTimer timer;
    timer.start();
    const bool result = publicKey->verifyFile(file, text, &error);
    report("verify", timer.nsecsElapsed() / 1e9, result);
    if (!result)
        std::fprintf(stderr, "%s\n", qPrintable(error));
    return result ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == QLatin1String("unpack"))
        return unpack(args[2], args[3]);
    if (args.size() == 5 && args[1] == QLatin1String("verify"))
        return verify(args[2], args[3], args[4]);
    std::fprintf(stderr, "usage: %s unpack PACKAGE FOLDER | verify FILE MINISIG PUBKEY\n", argv[0]);
    return 2;
}
