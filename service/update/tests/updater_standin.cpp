// Stands in for the updater program in the coordinator's tests: notes each
// start in "runs" and runs until a file "release" appears (at most a minute),
// both in the folder named by KORVEL_STANDIN_DIR.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

int main()
{
    const char *folder = std::getenv("KORVEL_STANDIN_DIR");
    if (!folder)
        return 2;
    const std::string dir(folder);
    std::ofstream(dir + "/runs", std::ios::app) << ::getpid() << '\n';
    for (int waited = 0; waited < 6000; ++waited) {
        if (std::ifstream(dir + "/release"))
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 1;
}
