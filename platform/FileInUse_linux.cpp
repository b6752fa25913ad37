#include "platform/FileInUse.h"

#include "platform/ProcessTable.h"

bool isFileInUse(const QString &path)
{
    return !processesRunningFiles({path}).isEmpty();
}
