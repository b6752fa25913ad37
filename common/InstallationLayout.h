#pragma once

#include "platform/ExecutableName.h"

#include <QString>

// The file names the service and its companion programs share.
class InstallationLayout
{
public:
    static QString serviceProgram() { return executableName(QStringLiteral("Korvel")); }
    static QString updaterFolder() { return QStringLiteral("Updater"); }
    static QString updaterProgram() { return executableName(QStringLiteral("Updater")); }
    static QString newUpdaterProgram() { return updaterProgram() + QStringLiteral("-new"); }
    static QString updateConf() { return QStringLiteral("Update.conf"); }
};
