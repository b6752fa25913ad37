// ThreadSanitizer builds only. QtCore is not instrumented, and Qt 5's mutex,
// wait condition and thread wait sleep on futexes inside it, so the order
// they establish between threads is invisible and every access they guard
// would be reported as a race. These definitions stand in for the QtCore
// functions our code calls (the program's own definitions win over the
// shared library's), call the originals and tell the sanitizer about the
// ordering.

#include <QMutex>
#include <QThread>
#include <QWaitCondition>

#include <dlfcn.h>

extern "C" {
void __tsan_acquire(void *addr);
void __tsan_release(void *addr);
}

namespace {

template <typename Function>
Function original(const char *symbol)
{
    return reinterpret_cast<Function>(dlvsym(RTLD_NEXT, symbol, "Qt_5"));
}

} // namespace

void QBasicMutex::lockInternal() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto lock = original<void (*)(QBasicMutex *)>("_ZN11QBasicMutex12lockInternalEv");
    lock(this);
    __tsan_acquire(this);
}

bool QBasicMutex::lockInternal(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto lock = original<bool (*)(QBasicMutex *, int)>("_ZN11QBasicMutex12lockInternalEi");
    const bool locked = lock(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QBasicMutex::unlockInternal() noexcept
{
    static const auto unlock = original<void (*)(QBasicMutex *)>("_ZN11QBasicMutex14unlockInternalEv");
    __tsan_release(this);
    unlock(this);
}

// QMutex's own lock and unlock are out of line too. Annotated at the QMutex
// address; a QMutex is a QBasicMutex at the same address.
void QMutex::lock() QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto lock = original<void (*)(QMutex *)>("_ZN6QMutex4lockEv");
    lock(this);
    __tsan_acquire(this);
}

bool QMutex::tryLock(int timeout) QT_MUTEX_LOCK_NOEXCEPT
{
    static const auto tryLock = original<bool (*)(QMutex *, int)>("_ZN6QMutex7tryLockEi");
    const bool locked = tryLock(this, timeout);
    if (locked)
        __tsan_acquire(this);
    return locked;
}

void QMutex::unlock() noexcept
{
    static const auto unlock = original<void (*)(QMutex *)>("_ZN6QMutex6unlockEv");
    __tsan_release(this);
    unlock(this);
}

// A thread's end orders everything it did before whatever follows a wait
// for it. The finished signal is emitted on the ending thread.
void QThread::start(Priority priority)
{
    static const auto startThread = original<void (*)(QThread *, Priority)>("_ZN7QThread5startENS_8PriorityE");
    connect(this, &QThread::finished, this, [this] { __tsan_release(this); }, Qt::DirectConnection);
    startThread(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto waitFor = original<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = waitFor(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}

bool QThread::wait(unsigned long time)
{
    return wait(time == ULONG_MAX ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(time));
}

bool QWaitCondition::wait(QMutex *lockedMutex, QDeadlineTimer deadline)
{
    static const auto waitFor =
        original<bool (*)(QWaitCondition *, QMutex *, QDeadlineTimer)>("_ZN14QWaitCondition4waitEP6QMutex14QDeadlineTimer");
    __tsan_release(lockedMutex);
    const bool woken = waitFor(this, lockedMutex, deadline);
    __tsan_acquire(this);
    __tsan_acquire(lockedMutex);
    return woken;
}

bool QWaitCondition::wait(QMutex *lockedMutex, unsigned long time)
{
    return wait(lockedMutex, time == ULONG_MAX ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(time));
}

void QWaitCondition::wakeOne()
{
    static const auto wake = original<void (*)(QWaitCondition *)>("_ZN14QWaitCondition7wakeOneEv");
    __tsan_release(this);
    wake(this);
}

void QWaitCondition::wakeAll()
{
    static const auto wake = original<void (*)(QWaitCondition *)>("_ZN14QWaitCondition7wakeAllEv");
    __tsan_release(this);
    wake(this);
}
