#include "platform/FileStamp.h"

#include <sys/stat.h>

FileStamp FileStamp::of(const QByteArray &path)
{
    struct stat info = {};
    FileStamp stamp;
    if (::stat(path.constData(), &info) != 0)
        return stamp;
    stamp.exists = true;
    stamp.size = qint64(info.st_size);
    stamp.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.changedNs = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    stamp.device = quint64(info.st_dev);
    stamp.inode = quint64(info.st_ino);
    return stamp;
}
