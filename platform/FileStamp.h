#pragma once

#include <QByteArray>
#include <QtGlobal>

// What tells one version of a file from another without reading it: size,
// modification and change times, and which file the name leads to. The
// change time cannot be set back by a copy that keeps time stamps, and a
// file put in place by a rename is another file, so a cache can ask on every
// use whether its file changed. Times are read without turning them into
// local time (which costs a look at the time-zone data).
struct FileStamp
{
    bool exists = false;
    qint64 size = -1;
    qint64 modifiedNs = 0; // since the epoch
    qint64 changedNs = 0;  // since the epoch; moves with every write and every change of the stamp
    quint64 device = 0;
    quint64 inode = 0;

    bool operator==(const FileStamp &other) const
    {
        return exists == other.exists && size == other.size && modifiedNs == other.modifiedNs
            && changedNs == other.changedNs && device == other.device && inode == other.inode;
    }
    bool operator!=(const FileStamp &other) const { return !(*this == other); }

    // The path as the system takes it (QFile::encodeName): a caller asks
    // about one file over and over and encodes its name once.
    static FileStamp of(const QByteArray &path);
};
