#include "tools/cleaner/RunEntryCheck.h"

#include "common/InstallationLayout.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString refuse(QString *reason, const QString &why)
{
    if (reason)
        *reason = why;
    return QString();
}

QString homeFolder()
{
    const QString home = QDir::homePath();
    const QString canonical = QDir(home).canonicalPath();
    return canonical.isEmpty() ? QDir::cleanPath(home) : canonical;
}

// True when folder is the home folder or one of the folders above it.
bool holdsHome(const QString &folder)
{
    const QString home = homeFolder();
    return folder == home || home.startsWith(folder + QLatin1Char('/'));
}

} // namespace

QString RunEntryCheck::servicePath(const QString &runValue, QString *reason)
{
    const QString path = QDir::fromNativeSeparators(runValue);
    // A quote inside a folder name is fine; a value in quotes is no path.
    if (path.startsWith(QLatin1Char('"')) || path.endsWith(QLatin1Char('"')))
        return refuse(reason, QStringLiteral("quoted"));
    if (!QDir::isAbsolutePath(path))
        return refuse(reason, QStringLiteral("not an absolute path"));
    const QFileInfo program(path);
    if (program.isSymLink() || !program.isFile())
        return refuse(reason, QStringLiteral("not a regular file"));
    if (program.fileName() != InstallationLayout::serviceProgram())
        return refuse(reason, QStringLiteral("not the service's program file"));
    const QString folder = program.canonicalPath();
    if (folder.isEmpty() || folder == QLatin1String("/"))
        return refuse(reason, QStringLiteral("the root folder"));
    if (holdsHome(folder))
        return refuse(reason, QStringLiteral("the home folder or above it"));
    return folder + QLatin1Char('/') + program.fileName();
}
