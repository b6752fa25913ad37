#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// True when a running process's program file is named imageName exactly
// (letter case included), such as "Updater". Looks at the system's process
// table directly; a look takes milliseconds and starts no other program.
// Processes that have ended but are not yet reaped do not count.
bool isProcessRunning(const QString &imageName);

// The ids of the running processes that were started from one of the given
// program files, compared by full path, so that a program of the same name
// in another folder does not count. A process whose program file has been
// deleted or replaced since it started still counts for its path. Processes
// whose program file we may not read (other users') are not seen.
QList<qint64> processesRunningFiles(const QStringList &programPaths);
