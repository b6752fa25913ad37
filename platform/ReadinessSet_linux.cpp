#include "platform/ReadinessSet.h"

#include <cerrno>
#include <cstring>
#include <utility>

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

ReadinessSet::ReadinessSet(int hostDescriptor, quint64 keyTag, std::function<void()> released)
    : m_descriptor(hostDescriptor), m_keyTag(keyTag), m_released(std::move(released))
{
}

ReadinessSet::~ReadinessSet()
{
    // A hosted set's descriptors leave the host's set as they close.
    if (m_released)
        m_released();
    else if (m_descriptor >= 0)
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
    event.data.u64 = key | m_keyTag;
    if (::epoll_ctl(m_descriptor, operation, descriptor, &event) == 0)
        return true;
    m_error = systemError();
    return false;
}

ReadinessSet::Event ReadinessSet::eventOf(quint64 key, quint32 systemEvents)
{
    Event event;
    event.key = key;
    event.readable = systemEvents & EPOLLIN;
    event.writable = systemEvents & EPOLLOUT;
    event.hangUp = systemEvents & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
    return event;
}

int ReadinessSet::collect(Event *events, int maxEvents)
{
    if (m_released)
        return 0;
    epoll_event ready[MaxBatch];
    int count = -1;
    do {
        count = ::epoll_wait(m_descriptor, ready, qBound(1, maxEvents, MaxBatch), 0);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        m_error = systemError();
        return -1;
    }
    for (int i = 0; i < count; ++i)
        events[i] = eventOf(ready[i].data.u64, ready[i].events);
    return count;
}
