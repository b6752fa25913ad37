#pragma once

#include <QByteArray>
#include <QString>

// Replaces a file's content as one step: the data goes to a temporary file
// in the same folder, which is flushed to disk and then renamed over the
// target. A reader sees either the old or the new content, never a part,
// and on any failure the old file stays exactly as it was.
class AtomicFile
{
public:
    // False when anything failed; *error (when given) then says why. The
    // temporary file is removed and an existing target keeps its permission
    // bits.
    static bool write(const QString &path, const QByteArray &data, QString *error = nullptr);
};
