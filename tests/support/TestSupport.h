#pragma once

#include <QString>
#include <QStringList>

namespace TestSupport {

// True when the suite runs inside the harness's private network namespace,
// private CUPS and X server. Tests that start the service, print or send
// beyond loopback skip themselves otherwise.
bool inHarness();

// Inside the harness, gives this process a mount namespace of its own, so
// the small file systems a test mounts are seen by nobody else. Call it
// before any thread exists. False when that failed.
bool enterOwnMountNamespace();

// Folder for files a test run keeps (screenshots and the like).
QString artifactDir();

// Absolute path of a program built by this tree, e.g. "service/Korvel".
QString builtProgram(const QString &relativePath);

// Copies a program file into folder (keeping its file name and mode) and
// returns the new path; the copy's folder becomes its application folder.
QString copyProgram(const QString &programPath, const QString &folder);

QByteArray readAll(const QString &path);
bool writeFile(const QString &path, const QByteArray &content);

// Makes a file or folder unwritable for this process, root included (root
// ignores permission bits, so it gets the immutable attribute instead).
// Undo with makeWritable before removing the test's folder.
bool makeUnwritable(const QString &path);
bool makeWritable(const QString &path);

} // namespace TestSupport

#define KORVEL_REQUIRE_HARNESS()                                                     \
    do {                                                                             \
        if (!TestSupport::inHarness())                                               \
            QSKIP("needs the test harness (network namespace, CUPS, X): scripts/test"); \
    } while (0)
