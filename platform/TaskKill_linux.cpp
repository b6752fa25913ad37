#include "platform/TaskKill.h"

#include "platform/ProcessTable.h"

QString TaskKill::program()
{
    return QStringLiteral("kill");
}

QStringList TaskKill::arguments(const QStringList &programPaths)
{
    QStringList arguments{QStringLiteral("-KILL")};
    for (const qint64 pid : processesRunningFiles(programPaths))
        arguments << QString::number(pid);
    return arguments;
}
