#include "platform/OpenFileLimit.h"

#include <limits>

#include <sys/resource.h>

namespace {

qint64 asLimit(rlim_t value)
{
    if (value == RLIM_INFINITY || value > rlim_t(std::numeric_limits<qint64>::max()))
        return -1;
    return qint64(value);
}

} // namespace

namespace OpenFileLimit {

qint64 raiseToHard()
{
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur != limit.rlim_max) {
        struct rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        // Some systems refuse an unlimited soft value; the old one then stays.
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return asLimit(limit.rlim_cur);
}

qint64 current()
{
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    return asLimit(limit.rlim_cur);
}

} // namespace OpenFileLimit
