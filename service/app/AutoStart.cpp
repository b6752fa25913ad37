#include "service/app/AutoStart.h"

#include "platform/RunKey.h"
#include "platform/ShortcutHelper.h"

#include <QDir>
#include <QFileInfo>

QString CAutoStart::runValueName(const QString &programPath)
{
    return QFileInfo(programPath).baseName();
}

QString CAutoStart::runValueData(const QString &programPath)
{
    return QDir::toNativeSeparators(QFileInfo(programPath).absoluteFilePath());
}

void CAutoStart::setAutoStart(RunKey &runKey, const QString &programPath, bool enable)
{
    const QString name = runValueName(programPath);
    if (!enable) {
        runKey.remove(name);
        return;
    }
    const QString data = runValueData(programPath);
    if (runKey.value(name) != data)
        runKey.setValue(name, data);
}

bool CAutoStart::isAutoStart(const RunKey &runKey, const QString &programPath)
{
    return runKey.value(runValueName(programPath)) == runValueData(programPath);
}

QString CAutoStart::shortcutPath(const QString &startupFolder, const QString &programPath)
{
    QString folder = startupFolder;
    folder.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return folder + QLatin1Char('/') + QFileInfo(programPath).completeBaseName()
           + ShortcutHelper::shortcutExtension();
}

bool CAutoStart::setStartupShortcut(const QString &programPath, bool open)
{
    const QString folder = ShortcutHelper::startupFolder();
    // Without a startup folder the link would land in the root folder, which
    // a privileged user could write to: do nothing instead.
    if (folder.isEmpty())
        return false;
    const QString link = shortcutPath(folder, programPath);
    if (!open)
        return ShortcutHelper::deleteShortcut(link);
    QDir().mkpath(folder);
    return ShortcutHelper::createShortcut(programPath, link);
}
