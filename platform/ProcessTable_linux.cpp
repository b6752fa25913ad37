#include "platform/ProcessTable.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <climits>
#include <dirent.h>
#include <unistd.h>

namespace {

bool isPidEntry(const char *name)
{
    if (*name == '\0')
        return false;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9')
            return false;
    }
    return true;
}

QByteArray fileNameOf(QByteArray path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

// The first argument a process was started with; used for processes of other
// users, whose program link we may not read.
QByteArray firstArgument(const QByteArray &procDir)
{
    QFile cmdline(QFile::decodeName(procDir + "/cmdline"));
    if (!cmdline.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray arguments = cmdline.read(PATH_MAX);
    return arguments.left(arguments.indexOf('\0'));
}

// The file name of the program a process runs, or empty for kernel threads
// and processes that have ended.
QByteArray programFileName(const char *pid)
{
    const QByteArray procDir = QByteArray("/proc/") + pid;
    char link[PATH_MAX];
    const ssize_t length = ::readlink((procDir + "/exe").constData(), link, sizeof link);
    if (length > 0) {
        QByteArray path(link, int(length));
        // A program file replaced while it runs still names this process.
        static const QByteArray deleted(" (deleted)");
        if (path.endsWith(deleted))
            path.chop(deleted.size());
        return fileNameOf(path);
    }
    if (errno == EACCES || errno == EPERM)
        return fileNameOf(firstArgument(procDir));
    return QByteArray();
}

} // namespace

bool isProcessRunning(const QString &imageName)
{
    if (imageName.isEmpty())
        return false;
    const QByteArray wanted = QFile::encodeName(imageName);
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return false;
    bool found = false;
    while (const dirent *entry = ::readdir(proc)) {
        if (isPidEntry(entry->d_name) && programFileName(entry->d_name) == wanted) {
            found = true;
            break;
        }
    }
    ::closedir(proc);
    return found;
}
