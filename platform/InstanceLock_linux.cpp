#include "platform/InstanceLock.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

InstanceLock::InstanceLock(const QString &name)
    : m_path(QDir::tempPath() + QStringLiteral("/korvel-") + name + QStringLiteral(".lock"))
{
}

InstanceLock::~InstanceLock()
{
    unlock();
}

bool InstanceLock::tryLock()
{
    if (m_handle >= 0)
        return true;
    // Close-on-exec: programs we start (Updater) must not inherit the lock.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_handle = fd;
    return true;
}

void InstanceLock::unlock()
{
    if (m_handle < 0)
        return;
    ::flock(m_handle, LOCK_UN);
    ::close(m_handle);
    m_handle = -1;
}
