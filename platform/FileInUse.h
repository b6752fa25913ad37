#pragma once

#include <QString>

// Whether a program file is in use: a running process was started from this
// very file (full path, not only its name). On systems that lock the files of
// running programs such a file can be neither deleted nor rewritten; here it
// could be, so callers that must leave a running program alone ask first.
bool isFileInUse(const QString &path);
