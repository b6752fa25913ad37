#include "platform/InstanceLock.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString describeMode(const struct stat &status)
{
    return QStringLiteral("owner %1, mode %2")
        .arg(QString::number(status.st_uid), QString::number(status.st_mode & 07777, 8));
}

// The folder must be a real folder (no link) of this user that nobody else
// may write to; a runtime or home folder that fails this is not used.
bool isOwnPrivateFolder(const QByteArray &folder, QString *problem)
{
    struct stat status;
    if (::lstat(folder.constData(), &status) != 0) {
        *problem = QStringLiteral("%1: %2").arg(QFile::decodeName(folder), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid() || (status.st_mode & 022) != 0) {
        *problem = QStringLiteral("%1 is not a private folder of user %2 (%3)")
                       .arg(QFile::decodeName(folder), QString::number(::geteuid()), describeMode(status));
        return false;
    }
    return true;
}

// Without XDG_RUNTIME_DIR: a folder of our own below the home folder,
// created 0700 and checked for owner and mode before every use.
QString homeLockFolder(QString *problem)
{
    const QByteArray home = QFile::encodeName(QDir::homePath());
    if (!isOwnPrivateFolder(home, problem))
        return QString();
    const QByteArray folder = home + "/.korvel";
    if (::mkdir(folder.constData(), 0700) != 0 && errno != EEXIST) {
        *problem = QStringLiteral("%1: %2").arg(QFile::decodeName(folder), QString::fromLocal8Bit(std::strerror(errno)));
        return QString();
    }
    struct stat status;
    if (::lstat(folder.constData(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != ::geteuid()
        || (status.st_mode & 077) != 0) {
        *problem = QStringLiteral("%1 is not a 0700 folder of user %2").arg(QFile::decodeName(folder), QString::number(::geteuid()));
        return QString();
    }
    return QFile::decodeName(folder);
}

QString lockFolder(QString *problem)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        if (isOwnPrivateFolder(runtime, problem))
            return QFile::decodeName(runtime);
        return QString();
    }
    return homeLockFolder(problem);
}

} // namespace

InstanceLock::InstanceLock(const QString &name) : m_name(name)
{
    const QString folder = lockFolder(&m_problem);
    if (!folder.isEmpty())
        m_path = folder + QStringLiteral("/korvel-") + name + QStringLiteral(".lock");
}

InstanceLock::~InstanceLock()
{
    unlock();
}

InstanceLock::Result InstanceLock::tryAcquire()
{
    if (m_handle >= 0)
        return Result::Acquired;
    if (m_path.isEmpty())
        return Result::Unsafe;
    // Close-on-exec: programs we start (Updater) must not inherit the lock.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        m_problem = QStringLiteral("%1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno)));
        return Result::Unsafe;
    }
    struct stat status = {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) {
        m_problem = QStringLiteral("%1 was not made by user %2 (%3)")
                        .arg(m_path, QString::number(::geteuid()), describeMode(status));
        ::close(fd);
        return Result::Unsafe;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return Result::HeldElsewhere;
    }
    m_handle = fd;
    return Result::Acquired;
}

void InstanceLock::unlock()
{
    if (m_handle < 0)
        return;
    ::flock(m_handle, LOCK_UN);
    ::close(m_handle);
    m_handle = -1;
}
