#include "common/SingleInstance.h"

#include <cstdio>

SingleInstance::SingleInstance(const QString &semaphoreKey, const QString &lockName) : m_lock(lockName)
{
    Q_UNUSED(semaphoreKey);
}

bool SingleInstance::acquire()
{
    switch (m_lock.tryAcquire()) {
    case InstanceLock::Result::Acquired:
        return true;
    case InstanceLock::Result::HeldElsewhere:
        return false;
    case InstanceLock::Result::Unsafe:
        break;
    }
    // Not obeyed silently: someone else's file must not pass for our instance.
    m_problem = QStringLiteral("single-instance lock refused: %1").arg(m_lock.problem());
    std::fprintf(stderr, "%s\n", m_problem.toLocal8Bit().constData());
    return false;
}
