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
