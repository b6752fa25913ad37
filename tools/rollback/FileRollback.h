#pragma once

#include <QString>

// Undoes the last installation: the installation kept each replaced file's
// previous content as name-old in the updater's folder, and a rollback gives
// it back to the file of that name in the service folder.
class FileRollback
{
public:
    // Rolls back every readable name-old file of folder into the folder
    // above it, in name order; a name-old file goes once it is back in place
    // and stays otherwise. True when at least one was found.
    bool rollBackFiles(const QString &folder) const;

    // Puts oldFile in the place of the existing file current by one rename,
    // the installation's own step, so a rollback cut short leaves every file
    // whole and is finished by running it again. False, with neither file
    // changed, when either is missing or not a plain file, current cannot be
    // written, or current is the program file of a running process.
    bool restoreFile(const QString &oldFile, const QString &current) const;
};
