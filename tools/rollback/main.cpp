#include "tools/rollback/RollbackMain.h"

int main(int argc, char **argv)
{
    return tamrowMain(argc, argv);
}
