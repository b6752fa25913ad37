#pragma once

#include <QString>
#include <QtGlobal>

// Size and modification time of a file, read without turning the time into
// local time (which costs a look at the time-zone data), so that a cache can
// ask on every use whether its file changed.
struct FileStamp
{
    bool exists = false;
    qint64 size = -1;
    qint64 modifiedNs = 0; // since the epoch

    bool operator==(const FileStamp &other) const
    {
        return exists == other.exists && size == other.size && modifiedNs == other.modifiedNs;
    }
    bool operator!=(const FileStamp &other) const { return !(*this == other); }

    static FileStamp of(const QString &path);
};
