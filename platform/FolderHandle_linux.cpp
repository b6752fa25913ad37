#include "platform/FolderHandle.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Deeper trees are not a package's; the limit also bounds open handles.
constexpr int MaxDepth = 64;

struct Identity
{
    quint64 device = 0;
    quint64 inode = 0;
    quint64 mount = 0;
    unsigned mode = 0;
};

// Without following a link in the last part; a mount point reports the
// mount on it, so it differs from its folder's.
bool identify(int folder, const char *name, Identity *identity)
{
    struct statx status;
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (*name ? 0 : AT_EMPTY_PATH);
    if (::statx(folder, name, flags, STATX_TYPE | STATX_INO | STATX_MNT_ID, &status) != 0)
        return false;
    identity->device = (quint64(status.stx_dev_major) << 32) | status.stx_dev_minor;
    identity->inode = status.stx_ino;
    identity->mount = (status.stx_mask & STATX_MNT_ID) ? status.stx_mnt_id : 0;
    identity->mode = status.stx_mode;
    return true;
}

QString errorText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

int openFolderAt(int folder, const char *name)
{
    return ::openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

FolderHandle::FolderHandle(const QString &path) : m_path(QDir::cleanPath(path))
{
    const QByteArray encoded = QFile::encodeName(m_path);
    const int slash = encoded.lastIndexOf('/');
    m_name = encoded.mid(slash + 1);
    const QByteArray parent = slash <= 0 ? QByteArray("/") : encoded.left(slash);
    if (m_name.isEmpty() || m_name == "." || m_name == "..") {
        fail(QStringLiteral("%1: not a folder that can be removed").arg(m_path));
        return;
    }
    m_parentFd = ::open(parent.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_parentFd < 0) {
        fail(QStringLiteral("%1: %2").arg(QFile::decodeName(parent), errorText()));
        return;
    }
    m_fd = openFolderAt(m_parentFd, m_name.constData());
    Identity identity;
    if (m_fd < 0 || !identify(m_fd, "", &identity)) {
        fail(QStringLiteral("%1: %2").arg(m_path, errorText()));
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        return;
    }
    m_device = identity.device;
    m_inode = identity.inode;
    m_mount = identity.mount;
}

FolderHandle::~FolderHandle()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_parentFd >= 0)
        ::close(m_parentFd);
}

void FolderHandle::fail(const QString &reason)
{
    if (m_error.isEmpty())
        m_error = reason;
}

bool FolderHandle::isStillAtPath() const
{
    Identity now;
    return isOpen() && identify(m_parentFd, m_name.constData(), &now) && now.device == m_device
           && now.inode == m_inode;
}

bool FolderHandle::holdsFile(const QString &relativePath) const
{
    if (!isOpen())
        return false;
    const QList<QByteArray> parts = QFile::encodeName(relativePath).split('/');
    int folder = ::dup(m_fd);
    for (int i = 0; folder >= 0 && i + 1 < parts.size(); ++i) {
        const int next = openFolderAt(folder, parts.at(i).constData());
        ::close(folder);
        folder = next;
    }
    if (folder < 0)
        return false;
    Identity file;
    const bool found = identify(folder, parts.last().constData(), &file) && S_ISREG(file.mode);
    ::close(folder);
    return found;
}

bool FolderHandle::removeAll()
{
    if (!isOpen())
        return false;
    m_error.clear();
    // The path may name something else by now; then nothing is touched.
    if (!isStillAtPath()) {
        fail(QStringLiteral("%1 is no longer the folder that was checked").arg(m_path));
        return false;
    }
    if (!removeContent(m_fd, QFile::encodeName(m_path), 0))
        return false;
    if (!isStillAtPath() || ::unlinkat(m_parentFd, m_name.constData(), AT_REMOVEDIR) != 0) {
        fail(QStringLiteral("%1: %2").arg(m_path, errorText()));
        return false;
    }
    ++m_removed;
    return true;
}

bool FolderHandle::removeContent(int folder, const QByteArray &shownPath, int depth)
{
    if (depth > MaxDepth) {
        fail(QStringLiteral("%1: nested too deep").arg(QFile::decodeName(shownPath)));
        return false;
    }
    // The listing gets a handle of its own; the folder's stays for unlinkat.
    const int listing = ::dup(folder);
    DIR *entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (!entries) {
        if (listing >= 0)
            ::close(listing);
        fail(QStringLiteral("%1: %2").arg(QFile::decodeName(shownPath), errorText()));
        return false;
    }
    ::rewinddir(entries);
    bool complete = true;
    while (const dirent *entry = ::readdir(entries)) {
        const char *name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        const QByteArray path = shownPath + '/' + name;
        Identity identity;
        if (!identify(folder, name, &identity)) {
            fail(QStringLiteral("%1: %2").arg(QFile::decodeName(path), errorText()));
            complete = false;
            continue;
        }
        if (identity.device != m_device || (m_mount && identity.mount != m_mount)) {
            fail(QStringLiteral("%1: another file system is mounted here; it was left alone").arg(QFile::decodeName(path)));
            complete = false;
            continue;
        }
        if (S_ISDIR(identity.mode)) {
            const int child = openFolderAt(folder, name);
            Identity opened;
            // Swapped between the look and the open: leave it.
            const bool same = child >= 0 && identify(child, "", &opened) && opened.inode == identity.inode
                              && opened.device == identity.device;
            const bool emptied = same && removeContent(child, path, depth + 1);
            if (child >= 0)
                ::close(child);
            if (!same)
                fail(QStringLiteral("%1: changed while it was being removed").arg(QFile::decodeName(path)));
            if (!emptied || ::unlinkat(folder, name, AT_REMOVEDIR) != 0) {
                if (emptied)
                    fail(QStringLiteral("%1: %2").arg(QFile::decodeName(path), errorText()));
                complete = false;
                continue;
            }
        } else if (::unlinkat(folder, name, 0) != 0) {
            fail(QStringLiteral("%1: %2").arg(QFile::decodeName(path), errorText()));
            complete = false;
            continue;
        }
        ++m_removed;
    }
    ::closedir(entries);
    return complete;
}
