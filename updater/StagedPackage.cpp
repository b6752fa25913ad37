#include "updater/StagedPackage.h"

#include "common/AtomicFile.h"
#include "common/FileSwap.h"
#include "common/InstallationLayout.h"
#include "common/LenientJson.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString NewSuffix = QStringLiteral("-new");
const QString OldSuffix = QStringLiteral("-old");
const QString VersionKey = QStringLiteral("version");
const QString FilesKey = QStringLiteral("files");
// The manifest names a few files; anything far larger is not ours.
constexpr qint64 ManifestLimit = 1 << 20;

QJsonObject readManifest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.read(ManifestLimit)).object();
}

// Never writable by others; executable where the archive said so for its
// owner or where the file it replaces was.
QFile::Permissions installedPermissions(const QFileInfo &staged, const QFileInfo &replaced)
{
    QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser
        | QFile::ReadGroup | QFile::ReadOther;
    const bool executable = staged.permission(QFile::ExeOwner) || (replaced.isFile() && replaced.isExecutable());
    if (executable)
        permissions |= QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther;
    return permissions;
}

} // namespace

StagedPackage::StagedPackage(const QString &updaterFolder)
    : m_updaterFolder(updaterFolder),
      m_serviceFolder(updaterFolder.left(updaterFolder.lastIndexOf(QLatin1Char('/')))),
      m_folder(updaterFolder + QStringLiteral("/staging"))
{
}

QString StagedPackage::manifestPath() const
{
    return m_folder + QStringLiteral("/manifest.json");
}

QString StagedPackage::stagedPath(const QString &name) const
{
    return m_folder + QLatin1Char('/') + name + NewSuffix;
}

bool StagedPackage::prepare() const
{
    discard();
    return QDir().mkpath(m_folder);
}

void StagedPackage::removeUnfinished() const
{
    if (!isPending())
        discard();
}

void StagedPackage::discard() const
{
    QDir(m_folder).removeRecursively();
}

bool StagedPackage::seal(quint32 version, QString *error) const
{
    const QFileInfoList staged = QDir(m_folder).entryInfoList({QLatin1Char('*') + NewSuffix},
                                                              QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Name);
    QJsonArray names;
    for (const QFileInfo &file : staged) {
        const QString name = file.fileName().chopped(NewSuffix.size());
        const QFileInfo replaced(m_serviceFolder + QLatin1Char('/') + name);
        // A folder cannot be replaced by a file: refused now, before the
        // service is asked to end, not at every run from now on.
        if (name != InstallationLayout::updaterProgram() && replaced.isDir() && !replaced.isSymLink()) {
            *error = QStringLiteral("a folder has the name of ") + name;
            return false;
        }
        if (!QFile::setPermissions(file.filePath(), installedPermissions(file, replaced))) {
            *error = QStringLiteral("cannot set the mode of ") + file.filePath();
            return false;
        }
        names.append(name);
    }
    if (names.isEmpty()) {
        *error = QStringLiteral("the package holds no file");
        return false;
    }
    const QJsonObject manifest{{VersionKey, QString::number(version)}, {FilesKey, names}};
    return AtomicFile::write(manifestPath(), QJsonDocument(manifest).toJson(), error);
}

bool StagedPackage::isPending() const
{
    return QFileInfo(manifestPath()).isFile();
}

quint32 StagedPackage::version() const
{
    return LenientJson::readUnsigned(readManifest(manifestPath()).value(VersionKey));
}

QStringList StagedPackage::files() const
{
    QStringList names;
    const QJsonArray list = readManifest(manifestPath()).value(FilesKey).toArray();
    for (const QJsonValue &value : list) {
        const QString name = value.toString();
        // Only plain names of the staging folder: a changed manifest must not
        // lead the installation anywhere else.
        if (!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
            && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')))
            names << name;
    }
    return names;
}

bool StagedPackage::replacesServiceFiles() const
{
    const QStringList names = files();
    for (const QString &name : names) {
        if (name != InstallationLayout::updaterProgram())
            return true;
    }
    return false;
}

bool StagedPackage::install(QList<FileResult> *results) const
{
    bool complete = true;
    const QStringList names = files();
    for (const QString &name : names) {
        const FileResult result = installOne(name);
        complete = complete && result.installed;
        results->append(result);
    }
    return complete && !names.isEmpty();
}

StagedPackage::FileResult StagedPackage::installOne(const QString &name) const
{
    FileResult result;
    result.name = name;
    const QString staged = stagedPath(name);
    const bool newUpdater = name == InstallationLayout::updaterProgram();
    const QString target = newUpdater ? m_updaterFolder + QLatin1Char('/') + InstallationLayout::newUpdaterProgram()
                                      : m_serviceFolder + QLatin1Char('/') + name;
    if (!QFileInfo::exists(staged)) {
        // A rename is the only way out of the staging folder: an earlier,
        // interrupted run put it in place (the new Updater may even have been
        // applied by the service since).
        result.installed = true;
        result.text = QStringLiteral("in place: ") + name;
        return result;
    }
    QString error;
    const QString keepOldAs = newUpdater ? QString() : m_updaterFolder + QLatin1Char('/') + name + OldSuffix;
    result.installed = replaceByRename(staged, target, keepOldAs, &error);
    result.text = result.installed ? QStringLiteral("installed: ") + name
                                   : QStringLiteral("refused: ") + name + QStringLiteral(" (") + error + QLatin1Char(')');
    return result;
}
