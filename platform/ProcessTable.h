#pragma once

#include <QString>

// True when a running process's program file is named imageName exactly
// (letter case included), such as "Updater". Looks at the system's process
// table directly; a look takes milliseconds and starts no other program.
// Processes that have ended but are not yet reaped do not count.
bool isProcessRunning(const QString &imageName);
