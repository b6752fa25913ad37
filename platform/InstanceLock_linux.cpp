#include "platform/InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

// Per user: another user's instance, or a file another user left in a
// shared folder, must not keep this user's program from starting. The
// runtime folder is the user's own (XDG_RUNTIME_DIR, or the per-user folder
// Qt makes when that is not set); only when it cannot be had does the lock
// go to the temporary folder, under a name with the user's id.
QString lockFolderAndPrefix()
{
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return runtime + QStringLiteral("/korvel-");
    return QDir::tempPath() + QStringLiteral("/korvel-%1-").arg(::geteuid());
}

} // namespace

InstanceLock::InstanceLock(const QString &name) : m_path(lockFolderAndPrefix() + name + QStringLiteral(".lock")) {}

InstanceLock::~InstanceLock()
{
    unlock();
}

bool InstanceLock::tryLock()
{
    if (m_handle >= 0)
        return true;
    // Close-on-exec: programs we start (Updater) must not inherit the lock.
    // Not through a link someone else planted.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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
