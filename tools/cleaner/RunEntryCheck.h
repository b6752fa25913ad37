#pragma once

#include <QString>

// The cleaner deletes the folder that its Run value points into, so the value
// must really name the service's program file before anything is removed:
// an absolute path not in quotes, naming an existing regular file (no link)
// called like the service's program, in a folder that is neither the root,
// nor the user's home folder, nor any folder above it.
class RunEntryCheck
{
public:
    // The program file's path with every link in its folder resolved (so the
    // folder is the one really deleted), or an empty string, with the reason
    // in *reason, when the value fails.
    static QString servicePath(const QString &runValue, QString *reason = nullptr);
};
