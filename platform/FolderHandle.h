#pragma once

#include <QByteArray>
#include <QString>

// A folder opened once and then checked and emptied through that handle
// only, so that whatever is renamed, linked or mounted in its place later
// is never touched. Links are removed, never followed; folders of another
// mount (a mount point or bind mount inside) are left alone.
class FolderHandle
{
public:
    // Opens path without following a link in its last part.
    explicit FolderHandle(const QString &path);
    ~FolderHandle();

    FolderHandle(const FolderHandle &) = delete;
    FolderHandle &operator=(const FolderHandle &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    // Why opening or the last removal failed.
    QString error() const { return m_error; }

    // True while the path still names the very folder that was opened.
    bool isStillAtPath() const;
    // True when a regular file (no link) is at relativePath inside, every
    // folder on the way opened without following links.
    bool holdsFile(const QString &relativePath) const;
    // Deletes the content and then the folder itself. False, with the
    // reason in error(), when anything stays; what could go, went.
    bool removeAll();
    // Files, links and folders deleted so far.
    qint64 removedEntries() const { return m_removed; }

private:
    bool removeContent(int folder, const QByteArray &shownPath, int depth);
    void fail(const QString &reason);

    QString m_path;
    QString m_error;
    int m_fd = -1;
    int m_parentFd = -1;
    QByteArray m_name;
    quint64 m_device = 0;
    quint64 m_inode = 0;
    quint64 m_mount = 0;
    qint64 m_removed = 0;
};
