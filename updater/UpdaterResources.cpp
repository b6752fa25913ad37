#include "updater/UpdaterResources.h"

#include <QtGlobal>

void initUpdaterResources()
{
    Q_INIT_RESOURCE(updater);
}
