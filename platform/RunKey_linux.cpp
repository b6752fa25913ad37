#include "platform/RunKey.h"

#include <QSettings>
#include <QStandardPaths>

namespace {

const QString runGroup = QStringLiteral("Run/");

} // namespace

RunKey::RunKey(const QString &filePath) : m_filePath(filePath) {}

QString RunKey::defaultFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/Korvel/Run.ini");
}

QString RunKey::value(const QString &name) const
{
    const QSettings settings(m_filePath, QSettings::IniFormat);
    return settings.value(runGroup + name).toString();
}

void RunKey::setValue(const QString &name, const QString &data)
{
    QSettings settings(m_filePath, QSettings::IniFormat);
    settings.setValue(runGroup + name, data);
}

void RunKey::remove(const QString &name)
{
    QSettings settings(m_filePath, QSettings::IniFormat);
    if (settings.contains(runGroup + name))
        settings.remove(runGroup + name);
}
