#pragma once

#include <QString>
#include <QStringList>

// The command line that ends, without asking, every process started from one
// of the given program files. Only those very files count: a program of the
// same name in another folder (another installation, another user's) is left
// alone. The caller runs it as a child process and learns the result from its
// exit code; with nothing to end, the command fails.
class TaskKill
{
public:
    static QString program();
    static QStringList arguments(const QStringList &programPaths);
};
