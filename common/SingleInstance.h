#pragma once

#include "platform/InstanceLock.h"

#include <QString>

// "Only one of us runs", per user: a lock file in a folder only the user can
// write, released by the kernel with the process however it ends. Nothing is
// shared with other users, so none of them can hold or plant it.
class SingleInstance
{
public:
    // The first key is the name older versions gave their semaphore; only
    // the second names the lock.
    SingleInstance(const QString &semaphoreKey, const QString &lockName);

    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when this process is now the only instance; it stays so until the
    // object is destroyed. A lock folder or file that is not the user's own
    // counts as false too; it is reported on standard error and kept in
    // problem() for the program's log.
    bool acquire();

    // Empty unless acquire() met a lock that is not the user's own.
    QString problem() const { return m_problem; }

private:
    InstanceLock m_lock;
    QString m_problem;
};
