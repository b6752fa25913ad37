#pragma once

#include <QByteArray>
#include <QString>

// The checksum the update server announces for a package: the bitwise
// complement of the standard CRC-32 (the CRC-32/JAMCRC variant).
class PackageChecksum
{
public:
    static quint32 of(const QByteArray &bytes);
    // Reads the file back from disk, so the value covers what was really
    // written. False, with *value 0, when the file cannot be read whole.
    static bool ofFile(const QString &path, quint32 *value);
};
