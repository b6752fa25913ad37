#pragma once

#include <QString>

class ZipResponse;

// Unpacks a package into a folder, each file entry written as its path in
// that folder followed by "-new".
class Zip
{
public:
    // The work starts once the calling thread's event loop runs again, so the
    // caller may connect to the response first; it then runs on Qt's global
    // thread pool. The package file is deleted in every case. On failure the
    // "-new" files of this run are removed again. The caller owns the
    // response and may delete it once finished has been delivered.
    static ZipResponse *decompressionAsync(const QString &zipPath, const QString &destinationFolder);
};
