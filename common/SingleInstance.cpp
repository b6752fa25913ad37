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
    // The lock has decided already. On this platform a segment's key is
    // derived from a file's inode, so another program's live segment can
    // share it; failing to create ours then does not mean a second instance.
    m_memory.create(1, QSharedMemory::ReadWrite);
    m_semaphore.release();
    return true;
}
