#include "service/update/UpdaterFiles.h"

#include "common/FileSwap.h"
#include "common/InstallationLayout.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString inUpdaterFolder(const QString &serviceFolder, const QString &name)
{
    return serviceFolder + QLatin1Char('/') + InstallationLayout::updaterFolder() + QLatin1Char('/') + name;
}

} // namespace

CUpdaterFiles::CUpdaterFiles(const QString &serviceFolder, const QString &suffix)
    : m_strayUpdater(serviceFolder + QLatin1Char('/') + InstallationLayout::updaterProgram(suffix)),
      m_newUpdater(inUpdaterFolder(serviceFolder, InstallationLayout::newUpdaterProgram(suffix))),
      m_updater(inUpdaterFolder(serviceFolder, InstallationLayout::updaterProgram(suffix))),
      m_imageName(InstallationLayout::updaterProgram(suffix))
{
}

bool CUpdaterFiles::isProgramFile(const QString &path)
{
    return QFileInfo(path).isFile();
}

void CUpdaterFiles::applyWaitingUpdaters() const
{
    apply(m_strayUpdater);
    apply(m_newUpdater);
}

bool CUpdaterFiles::apply(const QString &waiting) const
{
    if (!isProgramFile(waiting))
        return false;
    // A stray updater may come without the updater folder; mkpath leaves an
    // existing folder as it is and fails where a file holds the name.
    QDir().mkpath(QFileInfo(m_updater).path());
    if (!swapFileContents(waiting, m_updater))
        return false;
    return QFile::remove(waiting);
}
