#pragma once

#include <QString>

// A named lock that the operating system releases when the holding process
// ends, however it ends. Used beside the shared-memory single-instance test,
// whose segment outlives a killed process on some systems. The lock is the
// user's own: other users' instances do not count.
class InstanceLock
{
public:
    explicit InstanceLock(const QString &name);
    ~InstanceLock();

    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // Takes the lock without waiting; false when another process holds it.
    bool tryLock();
    void unlock();
    bool isLocked() const { return m_handle >= 0; }

    QString path() const { return m_path; }

private:
    QString m_path;
    int m_handle = -1;
};
