#include "common/AtomicFile.h"

#include <QSaveFile>

namespace {

bool fail(QString *error, const QString &reason)
{
    if (error)
        *error = reason;
    return false;
}

} // namespace

bool AtomicFile::write(const QString &path, const QByteArray &data, QString *error)
{
    // QSaveFile writes beside the target, syncs it to disk on commit and
    // renames it over the target only then; it keeps the target's
    // permissions and drops the temporary file when it is not committed.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(error, file.errorString());
    // QSaveFile buffers, and a failure of the flush inside commit() (a full
    // disk) is not reported by commit(): it would put a cut file in place.
    // Flushing here sees it.
    if (file.write(data) != data.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return fail(error, reason);
    }
    if (!file.commit())
        return fail(error, file.errorString());
    return true;
}
