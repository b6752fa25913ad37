#pragma once

#include <QString>
#include <QStringList>

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
    // A package holding a file named as one of refusedNames, in any folder,
    // is refused before anything is written (files the package must not
    // replace, such as the updater's own settings).
    static ZipResponse *decompressionAsync(const QString &zipPath, const QString &destinationFolder,
                                           const QStringList &refusedNames = {});
};
