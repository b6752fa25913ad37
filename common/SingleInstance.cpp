#include "common/SingleInstance.h"

SingleInstance::SingleInstance(const QString &semaphoreKey, const QString &memoryKey)
    : m_lock(memoryKey),
      m_semaphore(semaphoreKey, 1, QSystemSemaphore::Open),
      m_memory(memoryKey)
{
}

bool SingleInstance::acquire()
{
    if (!m_lock.tryLock())
        return false;

    m_semaphore.acquire();
    // We hold the lock, so no live instance owns a segment under this key; one
    // that is still there was left by a process that was killed. Attaching and
    // detaching as its last user removes it.
    if (m_memory.attach())
        m_memory.detach();
    const bool created = m_memory.create(1, QSharedMemory::ReadWrite);
    m_semaphore.release();

    if (!created)
        m_lock.unlock();
    return created;
}
