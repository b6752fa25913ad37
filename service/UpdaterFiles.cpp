#include "UpdaterFiles.h"

#include "FileSwap.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

CUpdaterFiles::CUpdaterFiles(const QString &serviceFolder, const QString &suffix)
    : m_strayUpdater(serviceFolder + QStringLiteral("/Updater") + suffix),
      m_newUpdater(serviceFolder + QStringLiteral("/Updater/Updater") + suffix + QStringLiteral("-new")),
      m_updater(serviceFolder + QStringLiteral("/Updater/Updater") + suffix),
      m_imageName(QStringLiteral("Updater") + suffix)
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
