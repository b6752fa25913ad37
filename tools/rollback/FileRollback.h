#pragma once

#include <QString>

// Undoes the last installation: the installation kept each replaced file's
// previous content as name-old in the updater's folder, and a rollback gives
// it back to the file of that name in the service folder.
class FileRollback
{
public:
    // Rolls back every readable name-old file of folder into the folder
    // above it, in name order; a name-old file is deleted once its content is
    // back in place and stays otherwise. True when at least one was found.
    bool rollBackFiles(const QString &folder) const;

    // Exchanges the contents of two existing files. False, with neither file
    // changed, when either is missing, cannot be read or written, or is the
    // program file of a running process.
    bool swapExistingFiles(const QString &first, const QString &second) const;
};
