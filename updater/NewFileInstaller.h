#pragma once

#include <QString>
#include <QStringList>

// Moves the unpacked "-new" files of the Updater folder into the service
// folder (its parent), keeping what each replaced as "<name>-old" in the
// Updater folder. Holds no state.
class NewFileInstaller
{
public:
    // Names (not paths) of the readable, non-empty "*-new" files, sorted by
    // name.
    QStringList listNewFiles(const QString &folder) const;
    // A lone new Updater does not count: the service's coordinator applies it.
    bool hasPendingNewFiles(const QString &folder) const;
    // True when any "-new" file was found. A service file that cannot be
    // opened for writing (a running program) keeps its content.
    bool installNewFiles(const QString &folder) const;

private:
    bool installOne(const QString &folder, const QString &serviceFolder, const QString &name) const;
};
