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

bool isSystemFolder(const QString &folder)
{
    static const QStringList system{
        QStringLiteral("/bin"),       QStringLiteral("/boot"),      QStringLiteral("/dev"),
        QStringLiteral("/etc"),       QStringLiteral("/home"),      QStringLiteral("/lib"),
        QStringLiteral("/lib64"),     QStringLiteral("/media"),     QStringLiteral("/mnt"),
        QStringLiteral("/opt"),       QStringLiteral("/proc"),      QStringLiteral("/root"),
        QStringLiteral("/run"),       QStringLiteral("/sbin"),      QStringLiteral("/srv"),
        QStringLiteral("/sys"),       QStringLiteral("/tmp"),       QStringLiteral("/usr"),
        QStringLiteral("/usr/bin"),   QStringLiteral("/usr/lib"),   QStringLiteral("/usr/local"),
        QStringLiteral("/usr/local/bin"), QStringLiteral("/usr/sbin"), QStringLiteral("/usr/share"),
        QStringLiteral("/var"),       QStringLiteral("/var/tmp")};
    return system.contains(folder);
}

// Anything of the package: the service's program or the updater's folder
// with its configuration or one of its programs.
bool holdsPackageFiles(const QString &folder)
{
    const QString updater = folder + QLatin1Char('/') + InstallationLayout::updaterFolder() + QLatin1Char('/');
    for (const QString &file : {folder + QLatin1Char('/') + InstallationLayout::serviceProgram(),
                                updater + InstallationLayout::updateConf(),
                                updater + InstallationLayout::updaterProgram(),
                                updater + InstallationLayout::rollbackProgram()}) {
        if (QFileInfo(file).isSymLink() || QFileInfo::exists(file))
            return true;
    }
    return false;
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
    if (isSystemFolder(folder))
        return refuse(reason, QStringLiteral("a folder of the system"));
    return folder + QLatin1Char('/') + program.fileName();
}

bool RunEntryCheck::isLeftBehind(const QString &runValue)
{
    const QString path = QDir::fromNativeSeparators(runValue);
    if (path.startsWith(QLatin1Char('"')) || !QDir::isAbsolutePath(path))
        return false;
    const QFileInfo program(path);
    if (program.fileName() != InstallationLayout::serviceProgram() || program.isSymLink() || program.exists())
        return false;
    return !holdsPackageFiles(program.absolutePath());
}
