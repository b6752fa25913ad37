#pragma once

#include <QString>

// The local copies of merchant logos, as the command dispatcher sees the
// logo loader.
class LogoFiles
{
public:
    virtual ~LogoFiles() = default;

    // The path of the logo's local copy; its download starts when it is not
    // on disk yet. Never waits for the network.
    virtual QString localLogoPath(const QString &url) = 0;
};
