#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace TestSupport {

bool inHarness()
{
    return qEnvironmentVariable("KORVEL_IN_HARNESS") == QLatin1String("1");
}

bool enterOwnMountNamespace()
{
    if (!inHarness())
        return true;
    return ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

QString artifactDir()
{
    QString dir = qEnvironmentVariable("KORVEL_ARTIFACT_DIR");
    if (dir.isEmpty())
        dir = QDir::tempPath() + QStringLiteral("/korvel-test-artifacts");
    QDir().mkpath(dir);
    return dir;
}

QString builtProgram(const QString &relativePath)
{
    return QStringLiteral(KORVEL_BINARY_DIR_STRING "/") + relativePath;
}

QString copyProgram(const QString &programPath, const QString &folder)
{
    const QString target = folder + QLatin1Char('/') + QFileInfo(programPath).fileName();
    QDir().mkpath(folder);
    QFile::remove(target);
    if (!QFile::copy(programPath, target))
        return QString();
    QFile::setPermissions(target, QFile::permissions(programPath));
    return target;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

namespace {

bool setImmutable(const QString &path, bool immutable)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (done) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

const QFile::Permissions writeBits = QFile::WriteOwner | QFile::WriteUser | QFile::WriteGroup | QFile::WriteOther;

} // namespace

bool makeUnwritable(const QString &path)
{
    if (::geteuid() == 0)
        return setImmutable(path, true);
    return QFile::setPermissions(path, QFile::permissions(path) & ~writeBits);
}

bool makeWritable(const QString &path)
{
    if (::geteuid() == 0)
        return setImmutable(path, false);
    return QFile::setPermissions(path, QFile::permissions(path) | QFile::WriteOwner | QFile::WriteUser);
}

} // namespace TestSupport
