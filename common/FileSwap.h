#pragma once

#include <QString>

// Exchanges the byte contents of two regular files; when only the source
// exists, its bytes are copied into the target, which is created.
//
// Both files are read whole, and both are known to be writable (their new
// contents sit flushed in temporary files beside them) before either is
// replaced. Each file is then replaced by renaming, so at every moment it
// holds its old or its new content, never a part or nothing. A file keeps its
// permissions; a created target takes the source's.
//
// Returns true when the target now holds the source's old content (and the
// source the target's, when the target existed). On false neither file has
// changed. A path that names anything but a regular file (a folder above all)
// is never written.
bool swapFileContents(const QString &source, const QString &target);

// Puts replacement in target's place with one rename, the way a package
// manager replaces a running program: at every moment target names either
// its old or its new file, a program running from the old file keeps it, and
// a link at target is itself replaced, never written through. When keepOldAs
// is given, whatever target names is first kept under that name (a second
// link to the same file, or a copy where links are impossible); when target
// does not exist, a keepOldAs left from earlier is removed, as there is
// nothing to keep. Repeating a call that was cut short finishes it. False,
// with *error set, when the step could not be taken; target is then as it was.
bool replaceByRename(const QString &replacement, const QString &target, const QString &keepOldAs = QString(),
                     QString *error = nullptr);
