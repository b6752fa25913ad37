#pragma once

#include <QString>

// Program files carry the platform's executable suffix: "Updater.exe" on
// Windows, "Updater" elsewhere.
inline QString executableSuffix()
{
#ifdef Q_OS_WIN
    return QStringLiteral(".exe");
#else
    return QString();
#endif
}

inline QString executableName(const QString &baseName)
{
    return baseName + executableSuffix();
}
