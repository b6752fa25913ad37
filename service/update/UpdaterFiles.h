#pragma once

#include "platform/ExecutableName.h"

#include <QString>

// Where the service finds the updater program, and the replacement step
// that puts a waiting updater in place once the running one has ended.
class CUpdaterFiles
{
public:
    // serviceFolder is the folder of the service's program file; the
    // suffix is the platform's unless a test asks for another.
    explicit CUpdaterFiles(const QString &serviceFolder, const QString &suffix = executableSuffix());

    // An updater program placed beside the service's program.
    QString strayUpdater() const { return m_strayUpdater; }
    // A new updater that the updater's own installation left waiting.
    QString newUpdater() const { return m_newUpdater; }
    QString updater() const { return m_updater; }
    // The updater's program file name, as the process table shows it.
    QString imageName() const { return m_imageName; }

    // A path holds a program only when it names a regular file. Without an
    // executable suffix the stray updater's path is the updater folder
    // itself, which must never be taken for a program.
    static bool isProgramFile(const QString &path);

    // The stray updater first, the new one last, so the new one wins. A
    // source is deleted only once the updater path holds its content; one
    // that cannot be applied stays for the next try.
    void applyWaitingUpdaters() const;

private:
    bool apply(const QString &waiting) const;

    QString m_strayUpdater;
    QString m_newUpdater;
    QString m_updater;
    QString m_imageName;
};
