#include "updater/NewFileInstaller.h"

#include "common/FileSwap.h"
#include "common/InstallationLayout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString NewSuffix = QStringLiteral("-new");
const QString OldSuffix = QStringLiteral("-old");

// The kernel refuses to open a running program for writing; a rename would
// still replace it, but the file counts as in use all the same.
bool isInUse(const QString &path)
{
    if (!QFileInfo::exists(path))
        return false;
    QFile file(path);
    return !file.open(QIODevice::WriteOnly | QIODevice::Append);
}

} // namespace

QStringList NewFileInstaller::listNewFiles(const QString &folder) const
{
    // An empty file is no complete program or resource: never installed.
    const QFileInfoList files = QDir(folder).entryInfoList(
        {QStringLiteral("*") + NewSuffix}, QDir::Files | QDir::Readable | QDir::NoSymLinks | QDir::Hidden, QDir::Name);
    QStringList names;
    for (const QFileInfo &file : files) {
        if (file.size() > 0)
            names << file.fileName();
    }
    return names;
}

bool NewFileInstaller::hasPendingNewFiles(const QString &folder) const
{
    const QStringList names = listNewFiles(folder);
    if (names.isEmpty())
        return false;
    return !(names.size() == 1 && names.first() == InstallationLayout::newUpdaterProgram());
}

bool NewFileInstaller::installNewFiles(const QString &folder) const
{
    const QString serviceFolder = folder.left(folder.lastIndexOf(QLatin1Char('/')));
    const QStringList names = listNewFiles(folder);
    for (const QString &name : names)
        installOne(folder, serviceFolder, name);
    return !names.isEmpty();
}

bool NewFileInstaller::installOne(const QString &folder, const QString &serviceFolder, const QString &name) const
{
    const QString baseName = name.left(name.lastIndexOf(NewSuffix));
    if (baseName == InstallationLayout::updaterProgram())
        return false;
    const QString newFile = folder + QLatin1Char('/') + name;
    const QString serviceFile = serviceFolder + QLatin1Char('/') + baseName;
    const bool swapped = !isInUse(serviceFile) && swapFileContents(newFile, serviceFile);
    // The "-new" file now holds the replaced content (or the new one, for a
    // file new to the service folder) and becomes the rollback copy. When the
    // service file could not be replaced it still does, holding the new
    // content: the rollback tool can then put it in place, and no update
    // run waits forever on a file that cannot be written.
    const QString oldFile = folder + QLatin1Char('/') + baseName + OldSuffix;
    QFile::remove(oldFile);
    QFile::rename(newFile, oldFile);
    return swapped;
}
