#include "platform/EventDispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QVarLengthArray>

#include <algorithm>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>

#include <sched.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

// Qt's own count of events posted to any thread and not yet sent.
extern uint qGlobalPostedEventsCount();

namespace {

constexpr quint64 WakeKey = ~quint64(0);
// Keys of the hosted readiness set: this bit, the set's generation, then
// the holder's own key below 2^48.
constexpr quint64 HostedBit = quint64(1) << 62;
constexpr int HostedKeyBits = 48;
constexpr quint64 HostedKeyMask = (quint64(1) << HostedKeyBits) - 1;
constexpr quint64 HostedGenerations = quint64(1) << (62 - HostedKeyBits);
// How long the loop goes on looking without sleeping after serving the
// hosted set: a local client's next command comes within this.
constexpr qint64 HostedPollWindowNs = 50 * 1000;

// As poll() reports them to Qt's own loop.
constexpr quint32 ReadEvents = EPOLLIN | EPOLLHUP | EPOLLERR;
constexpr quint32 WriteEvents = EPOLLOUT | EPOLLERR;
constexpr quint32 ExceptionEvents = EPOLLPRI;

qint64 monotonicNs()
{
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Rounded up: waking before a timer is due would only turn the loop idly.
int millisecondsUntil(qint64 dueNs)
{
    const qint64 left = dueNs - monotonicNs();
    return left <= 0 ? 0 : int(qMin<qint64>((left + 999999) / 1000000, INT_MAX));
}

bool addToSet(int set, int descriptor, quint32 events, quint64 key)
{
    epoll_event event = {};
    event.events = events;
    event.data.u64 = key;
    return ::epoll_ctl(set, EPOLL_CTL_ADD, descriptor, &event) == 0;
}

} // namespace

EventDispatcher::EventDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent),
      m_readiness(::epoll_create1(EPOLL_CLOEXEC)),
      m_wakeOnly(::epoll_create1(EPOLL_CLOEXEC)),
      m_wakeCounter(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!isValid())
        return;
    if (!addToSet(m_readiness, m_wakeCounter, EPOLLIN, WakeKey) || !addToSet(m_wakeOnly, m_wakeCounter, EPOLLIN, WakeKey)) {
        ::close(m_wakeCounter);
        m_wakeCounter = -1;
    }
}

EventDispatcher::~EventDispatcher()
{
    for (int descriptor : {m_readiness, m_wakeOnly, m_wakeCounter})
        if (descriptor >= 0)
            ::close(descriptor);
}

bool EventDispatcher::isValid() const
{
    return m_readiness >= 0 && m_wakeOnly >= 0 && m_wakeCounter >= 0;
}

void EventDispatcher::setTurnHook(TurnHook hook)
{
    m_turnHook = std::move(hook);
}

std::unique_ptr<ReadinessSet> EventDispatcher::hostReadiness(ReadinessReceiver receive)
{
    if (!isValid() || m_hostedTag != 0 || !receive)
        return nullptr;
    m_hostedGeneration = (m_hostedGeneration + 1) % HostedGenerations;
    m_hostedTag = HostedBit | (m_hostedGeneration << HostedKeyBits);
    m_hostedReceiver = std::move(receive);
    return std::make_unique<ReadinessSet>(m_readiness, m_hostedTag, [this] {
        m_hostedTag = 0;
        m_hostedReceiver = nullptr;
    });
}

bool EventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted.store(false, std::memory_order_relaxed);
    emit awake();
    QCoreApplication::sendPostedEvents();

    const bool includeTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool includeNotifiers = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupted.load(std::memory_order_relaxed);
    if (canWait)
        emit aboutToBlock();
    if (m_interrupted.load(std::memory_order_relaxed))
        return false;

    bool wokenUp = false;
    // On the stack: a receiver may run a nested loop with reports of its own.
    Reports hosted;
    int handled = wait(waitMilliseconds(canWait, includeTimers, includeNotifiers), includeNotifiers, &wokenUp, &hosted);
    // What woke the loop is delivered in this turn, as GLib's loop does, so
    // that a caller waiting for one posted event is not left waiting for
    // the next.
    if (wokenUp)
        QCoreApplication::sendPostedEvents();
    if (includeNotifiers)
        handled += deliverHosted(hosted) + activateNotifiers();
    if (includeTimers)
        handled += activateTimers();
    if (m_turnHook && m_turnHook(flags & ~QEventLoop::WaitForMoreEvents))
        ++handled;
    return handled > 0;
}

int EventDispatcher::waitMilliseconds(bool canWait, bool includeTimers, bool includeNotifiers) const
{
    if (!canWait || (includeNotifiers && !m_alwaysReady.isEmpty()))
        return 0;
    if (!includeTimers)
        return -1;
    // The soonest timer that is not inside its own handler: one whose handler
    // runs a nested loop must not keep that loop from sleeping.
    qint64 soonest = LLONG_MAX;
    for (const Timer &timer : m_timers)
        if (!timer.firing && timer.dueNs < soonest)
            soonest = timer.dueNs;
    return soonest == LLONG_MAX ? -1 : millisecondsUntil(soonest);
}

int EventDispatcher::wait(int milliseconds, bool includeNotifiers, bool *wokenUp, Reports *hosted)
{
    epoll_event ready[MaxBatch];
    const int set = includeNotifiers ? m_readiness : m_wakeOnly;
    hosted->tag = m_hostedTag;
    int count = 0;
    if (m_hostedServed && milliseconds != 0)
        count = pollBriefly(set, ready);
    m_hostedServed = false;
    if (count == 0) {
        do {
            count = ::epoll_wait(set, ready, MaxBatch, milliseconds);
        } while (count < 0 && errno == EINTR);
    }
    if (count < 0) {
        std::perror("EventDispatcher: epoll_wait");
        return 0;
    }
    int handled = 0;
    for (int i = 0; i < count; ++i) {
        const quint64 key = ready[i].data.u64;
        if (key == WakeKey) {
            drainWakeUps();
            *wokenUp = true;
            ++handled;
        } else if (key & HostedBit) {
            if ((key & ~HostedKeyMask) == m_hostedTag)
                hosted->events[hosted->count++] = ReadinessSet::eventOf(key & HostedKeyMask, ready[i].events);
        } else {
            markReady(int(ready[i].data.u64), ready[i].events);
        }
    }
    if (includeNotifiers)
        for (int descriptor : qAsConst(m_alwaysReady))
            markReady(descriptor, EPOLLIN | EPOLLOUT);
    return handled;
}

// Ready reports, or 0 when none came within the window.
int EventDispatcher::pollBriefly(int set, epoll_event *ready)
{
    const qint64 untilNs = monotonicNs() + HostedPollWindowNs;
    for (;;) {
        const int count = ::epoll_wait(set, ready, MaxBatch, 0);
        if (count > 0)
            return count;
        if (monotonicNs() >= untilNs)
            return 0;
        ::sched_yield();
    }
}

int EventDispatcher::deliverHosted(const Reports &hosted)
{
    if (hosted.count == 0 || hosted.tag != m_hostedTag)
        return 0;
    m_hostedServed = true;
    // A copy: the receiver may release the set while it runs.
    const ReadinessReceiver receive = m_hostedReceiver;
    receive(hosted.events, hosted.count);
    return 1;
}

void EventDispatcher::drainWakeUps()
{
    eventfd_t count = 0;
    ::eventfd_read(m_wakeCounter, &count);
    m_wakeUpPending.store(false, std::memory_order_release);
}

void EventDispatcher::markReady(int descriptor, quint32 events)
{
    const auto found = m_watches.constFind(descriptor);
    if (found == m_watches.constEnd())
        return;
    const Watch &watch = found.value();
    for (QSocketNotifier *notifier : {watch.read, watch.write, watch.exception}) {
        if (!notifier || m_pendingNotifiers.contains(notifier))
            continue;
        const quint32 wanted = notifier == watch.read ? ReadEvents : notifier == watch.write ? WriteEvents : ExceptionEvents;
        if (events & wanted)
            m_pendingNotifiers.append(notifier);
    }
}

int EventDispatcher::activateNotifiers()
{
    int activated = 0;
    QEvent event(QEvent::SockAct);
    // A handler may unregister or delete notifiers still waiting here:
    // unregistering takes them off this list.
    while (!m_pendingNotifiers.isEmpty()) {
        QSocketNotifier *notifier = m_pendingNotifiers.takeFirst();
        QCoreApplication::sendEvent(notifier, &event);
        ++activated;
    }
    return activated;
}

void EventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int descriptor = int(notifier->socket());
    Watch &watch = m_watches[descriptor];
    switch (notifier->type()) {
    case QSocketNotifier::Read:
        watch.read = notifier;
        break;
    case QSocketNotifier::Write:
        watch.write = notifier;
        break;
    case QSocketNotifier::Exception:
        watch.exception = notifier;
        break;
    }
    updateWatch(descriptor, watch);
}

void EventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    m_pendingNotifiers.removeAll(notifier);
    const int descriptor = int(notifier->socket());
    auto found = m_watches.find(descriptor);
    if (found == m_watches.end())
        return;
    Watch &watch = found.value();
    if (watch.read == notifier)
        watch.read = nullptr;
    if (watch.write == notifier)
        watch.write = nullptr;
    if (watch.exception == notifier)
        watch.exception = nullptr;
    updateWatch(descriptor, watch);
    if (!watch.read && !watch.write && !watch.exception)
        m_watches.erase(found);
}

void EventDispatcher::updateWatch(int descriptor, Watch &watch)
{
    quint32 events = 0;
    if (watch.read)
        events |= EPOLLIN;
    if (watch.write)
        events |= EPOLLOUT;
    if (watch.exception)
        events |= EPOLLPRI;

    if (watch.alwaysReady) {
        if (!events) {
            m_alwaysReady.removeOne(descriptor);
            watch.alwaysReady = false;
        }
        return;
    }
    epoll_event event = {};
    event.events = events;
    event.data.u64 = quint64(descriptor);
    if (!events) {
        // Already gone from the set when the descriptor was closed first.
        if (watch.registered)
            ::epoll_ctl(m_readiness, EPOLL_CTL_DEL, descriptor, &event);
        watch.registered = false;
        return;
    }
    // The number may have been closed and handed out again since it was
    // registered; the set then no longer holds it.
    if (watch.registered && ::epoll_ctl(m_readiness, EPOLL_CTL_MOD, descriptor, &event) == 0)
        return;
    if (::epoll_ctl(m_readiness, EPOLL_CTL_ADD, descriptor, &event) == 0
        || (errno == EEXIST && ::epoll_ctl(m_readiness, EPOLL_CTL_MOD, descriptor, &event) == 0)) {
        watch.registered = true;
        return;
    }
    watch.registered = false;
    if (errno == EPERM) {
        watch.alwaysReady = true;
        m_alwaysReady.append(descriptor);
    } else {
        qWarning("QSocketNotifier: cannot watch descriptor %d (%s)", descriptor, qPrintable(qt_error_string(errno)));
    }
}

void EventDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject *object)
{
    Timer timer;
    timer.id = timerId;
    timer.interval = qMax(0, interval);
    timer.type = timerType;
    timer.object = object;
    timer.dueNs = monotonicNs() + qint64(timer.interval) * 1000000;
    m_timers.push_back(timer);
}

std::vector<EventDispatcher::Timer>::iterator EventDispatcher::findTimer(int timerId)
{
    return std::find_if(m_timers.begin(), m_timers.end(), [timerId](const Timer &timer) { return timer.id == timerId; });
}

bool EventDispatcher::unregisterTimer(int timerId)
{
    const auto found = findTimer(timerId);
    if (found == m_timers.end())
        return false;
    m_timers.erase(found);
    return true;
}

bool EventDispatcher::unregisterTimers(QObject *object)
{
    const auto before = m_timers.size();
    m_timers.erase(std::remove_if(m_timers.begin(), m_timers.end(), [object](const Timer &timer) { return timer.object == object; }),
                   m_timers.end());
    return m_timers.size() != before;
}

QList<QAbstractEventDispatcher::TimerInfo> EventDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> timers;
    for (const Timer &timer : m_timers)
        if (timer.object == object)
            timers.append(TimerInfo(timer.id, timer.interval, timer.type));
    return timers;
}

int EventDispatcher::remainingTime(int timerId)
{
    const auto found = findTimer(timerId);
    return found == m_timers.end() ? -1 : millisecondsUntil(found->dueNs);
}

int EventDispatcher::activateTimers()
{
    if (m_timers.empty())
        return 0;
    const qint64 now = monotonicNs();
    // Decided before any handler runs: timers started by a handler wait for
    // the next turn, and one stopped by a handler no longer fires. Those due
    // together fire in the order they fell due, however late the turn.
    QVarLengthArray<std::pair<qint64, int>, 16> due;
    for (const Timer &timer : m_timers)
        if (!timer.firing && timer.dueNs <= now)
            due.append({timer.dueNs, timer.id});
    std::stable_sort(due.begin(), due.end(),
                     [](const std::pair<qint64, int> &a, const std::pair<qint64, int> &b) { return a.first < b.first; });

    int fired = 0;
    for (const auto &fallenDue : due) {
        const int timerId = fallenDue.second;
        auto timer = findTimer(timerId);
        if (timer == m_timers.end() || timer->firing)
            continue;
        // Keep the phase; beats missed while the thread was busy are skipped,
        // not made up in a burst.
        timer->dueNs += qint64(timer->interval) * 1000000;
        if (timer->dueNs <= now)
            timer->dueNs = now + qint64(timer->interval) * 1000000;
        timer->firing = true;
        QObject *object = timer->object;
        QTimerEvent event(timerId);
        QCoreApplication::sendEvent(object, &event);
        ++fired;
        timer = findTimer(timerId);
        if (timer != m_timers.end())
            timer->firing = false;
    }
    return fired;
}

bool EventDispatcher::hasPendingEvents()
{
    return qGlobalPostedEventsCount() > 0;
}

void EventDispatcher::wakeUp()
{
    if (!m_wakeUpPending.exchange(true, std::memory_order_acq_rel))
        ::eventfd_write(m_wakeCounter, 1);
}

void EventDispatcher::interrupt()
{
    m_interrupted.store(true, std::memory_order_relaxed);
    wakeUp();
}

void EventDispatcher::flush()
{
}
