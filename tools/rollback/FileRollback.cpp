#include "tools/rollback/FileRollback.h"

#include "common/FileSwap.h"
#include "platform/FileInUse.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString oldSuffix = QStringLiteral("-old");

bool isPlainFile(const QString &path)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink();
}

// The rename would succeed even where writing in place would not; so the file
// is first opened for writing (without cutting it), which fails for read-only
// files and, with the in-use test, leaves running programs alone.
bool isRewritable(const QString &path)
{
    if (isFileInUse(path))
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly);
}

} // namespace

bool FileRollback::rollBackFiles(const QString &folder) const
{
    const QString serviceFolder = folder.left(folder.lastIndexOf(QLatin1Char('/')));
    const QStringList names = QDir(folder).entryList({QLatin1Char('*') + oldSuffix},
                                                     QDir::Files | QDir::Readable | QDir::NoSymLinks, QDir::Name);
    for (const QString &name : names) {
        const QString baseName = name.left(name.lastIndexOf(oldSuffix));
        const QString oldFile = folder + QLatin1Char('/') + name;
        restoreFile(oldFile, serviceFolder + QLatin1Char('/') + baseName);
    }
    return !names.isEmpty();
}

bool FileRollback::restoreFile(const QString &oldFile, const QString &current) const
{
    // A file that the last installation added has no earlier content to go
    // back to: it keeps its place, so a missing file is never created.
    if (!isPlainFile(oldFile) || !isPlainFile(current))
        return false;
    if (!isRewritable(current))
        return false;
    return replaceByRename(oldFile, current);
}
