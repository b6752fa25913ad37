#include "tools/cleaner/CleanerMain.h"

int main(int argc, char **argv)
{
    return selvaneMain(argc, argv);
}
