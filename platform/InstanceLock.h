#pragma once

#include <QString>

// A named lock that the operating system releases when the holding process
// ends, however it ends. It decides "already running" for one user: the lock
// file lives in a folder only that user can write (XDG_RUNTIME_DIR, or else
// a 0700 folder in the home folder), so another user can neither hold it nor
// plant one first. A folder or file that is not the user's own is refused
// and reported rather than taken for a running instance.
class InstanceLock
{
public:
    enum class Result {
        Acquired,
        HeldElsewhere, // another process of this user holds it
        Unsafe,        // the folder or file is not the user's own; see problem()
    };

    explicit InstanceLock(const QString &name);
    ~InstanceLock();

    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // Takes the lock without waiting.
    Result tryAcquire();
    // Same, true only for Acquired.
    bool tryLock() { return tryAcquire() == Result::Acquired; }
    void unlock();
    bool isLocked() const { return m_handle >= 0; }

    // The lock file's path; empty when no usable folder was found.
    QString path() const { return m_path; }
    // Why the last tryAcquire() answered Unsafe.
    QString problem() const { return m_problem; }

private:
    QString m_name;
    QString m_path;
    QString m_problem;
    int m_handle = -1;
};
