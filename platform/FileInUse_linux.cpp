#include "FileInUse.h"

#include "ProcessTable.h"

bool isFileInUse(const QString &path)
{
    return !processesRunningFiles({path}).isEmpty();
}
