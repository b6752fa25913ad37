#pragma once

#include "platform/ExecutableName.h"

#include <QString>

// The names by which the suite's programs find each other's files in the
// installation folder: the service at the top, the updater's folder below.
// Program names carry the platform's executable suffix (tests may ask for
// another platform's names).
class InstallationLayout
{
public:
    static QString serviceProgram(const QString &suffix = executableSuffix()) { return QStringLiteral("Korvel") + suffix; }
    static QString updaterFolder() { return QStringLiteral("Updater"); }
    static QString updaterProgram(const QString &suffix = executableSuffix()) { return QStringLiteral("Updater") + suffix; }
    // A new updater that an installation left waiting beside the running one.
    static QString newUpdaterProgram(const QString &suffix = executableSuffix())
    {
        return updaterProgram(suffix) + QStringLiteral("-new");
    }
    static QString rollbackProgram(const QString &suffix = executableSuffix()) { return QStringLiteral("Tamrow") + suffix; }
    static QString cleanerProgram(const QString &suffix = executableSuffix()) { return QStringLiteral("Selvane") + suffix; }
    // In the updater's folder.
    static QString updateConf() { return QStringLiteral("Update.conf"); }
    static QString fallbackConf() { return QStringLiteral("vorqconfiginfo.conf"); }
};
