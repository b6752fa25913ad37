#include "platform/ReadinessSet.h"

#include <cerrno>
#include <cstring>

#include <sys/epoll.h>
#include <unistd.h>

namespace {

constexpr int MaxBatch = 256;

quint32 eventMask(int interest)
{
    quint32 mask = EPOLLET | EPOLLRDHUP;
    if (interest & ReadinessSet::Read)
        mask |= EPOLLIN;
    if (interest & ReadinessSet::Write)
        mask |= EPOLLOUT;
    return mask;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

ReadinessSet::ReadinessSet() : m_descriptor(::epoll_create1(EPOLL_CLOEXEC))
{
    if (m_descriptor < 0)
        m_error = systemError();
}

ReadinessSet::~ReadinessSet()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

bool ReadinessSet::add(int descriptor, quint64 key, int interest)
{
    return control(EPOLL_CTL_ADD, descriptor, key, interest);
}

bool ReadinessSet::modify(int descriptor, quint64 key, int interest)
{
    return control(EPOLL_CTL_MOD, descriptor, key, interest);
}

bool ReadinessSet::remove(int descriptor)
{
    return control(EPOLL_CTL_DEL, descriptor, 0, 0);
}

bool ReadinessSet::control(int operation, int descriptor, quint64 key, int interest)
{
    epoll_event event = {};
    event.events = eventMask(interest);
    event.data.u64 = key;
    if (::epoll_ctl(m_descriptor, operation, descriptor, &event) == 0)
        return true;
    m_error = systemError();
    return false;
}

int ReadinessSet::collect(Event *events, int maxEvents)
{
    epoll_event ready[MaxBatch];
    int count = -1;
    do {
        count = ::epoll_wait(m_descriptor, ready, qBound(1, maxEvents, MaxBatch), 0);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        m_error = systemError();
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        const quint32 mask = ready[i].events;
        events[i].key = ready[i].data.u64;
        events[i].readable = mask & EPOLLIN;
        events[i].writable = mask & EPOLLOUT;
        events[i].hangUp = mask & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
    }
    return count;
}
