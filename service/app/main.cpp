#include "service/app/ServiceMain.h"

int main(int argc, char **argv)
{
    return korvelMain(argc, argv);
}
