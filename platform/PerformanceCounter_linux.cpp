#include "platform/PerformanceCounter.h"

#include <time.h>

namespace PerformanceCounter {

// CLOCK_MONOTONIC in nanoseconds: the kernel's counter that is not slewed
// backwards and keeps counting across wall-clock changes.
qint64 frequency()
{
    return 1000000000;
}

qint64 value()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

} // namespace PerformanceCounter
