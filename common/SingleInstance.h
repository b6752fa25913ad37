#pragma once

#include "platform/InstanceLock.h"

#include <QSharedMemory>
#include <QString>
#include <QSystemSemaphore>

// "Only one of us runs": a system semaphore makes the create-or-fail of a
// one-byte shared-memory segment atomic across processes. The segment of a
// killed process can outlive it, so a lock that the kernel releases with the
// process decides first whether a holder is still alive.
class SingleInstance
{
public:
    SingleInstance(const QString &semaphoreKey, const QString &memoryKey);

    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when this process is now the only instance; it stays so until
    // the object is destroyed.
    bool acquire();

private:
    // Declared first so that it is released last, after the segment.
    InstanceLock m_lock;
    QSystemSemaphore m_semaphore;
    QSharedMemory m_memory;
};
