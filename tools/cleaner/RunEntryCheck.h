#pragma once

#include <QString>

// The cleaner deletes the folder that its Run value points into, so the value
// must really name the service's program file before anything is removed:
// an absolute path not in quotes, naming an existing regular file (no link)
// called like the service's program, in a folder that is neither the root,
// nor the user's home folder, nor any folder above it, nor one of the
// system's own folders (a package installed straight into /usr/local must
// not take /usr/local with it).
class RunEntryCheck
{
public:
    // The program file's path with every link in its folder resolved (so the
    // folder is the one really deleted), or an empty string, with the reason
    // in *reason, when the value fails.
    static QString servicePath(const QString &runValue, QString *reason = nullptr);

    // True when the value names the service's program by an absolute path
    // where no file is any more, in a folder that is gone or holds nothing
    // of the package: a value left behind, which can go without deleting
    // anything.
    static bool isLeftBehind(const QString &runValue);
};
