#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

// A test whose application object keeps files beside its program (JSON
// files, logs, Updater/) runs from a copy of itself in a fresh temporary
// folder, so parallel or repeated runs never share those files.
namespace PrivateAppFolder {

inline constexpr const char *MarkerVariable = "KORVEL_PRIVATE_APP_FOLDER";

// In the original process: runs the copy with the same arguments, stores its
// exit status and returns true. In the copy: returns false at once. With a
// subfolder, the copy sits in that folder of the temporary folder (a program
// that works on the folder above its own).
inline bool rerunFromCopy(char **argv, int *status, const QString &subfolder = QString())
{
    if (qEnvironmentVariableIsSet(MarkerVariable))
        return false;
    QTemporaryDir folder;
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QString copyFolder = subfolder.isEmpty() ? folder.path() : folder.filePath(subfolder);
    const QString copy = copyFolder + QLatin1Char('/') + QFileInfo(self).fileName();
    if (!folder.isValid() || !QDir().mkpath(copyFolder) || !QFile::copy(self, copy)) {
        *status = 2;
        return true;
    }
    QFile::setPermissions(copy, QFile::permissions(self));
    qputenv(MarkerVariable, folder.path().toUtf8());
    const QByteArray program = QFile::encodeName(copy);
    const pid_t child = fork();
    if (child == 0) {
        argv[0] = const_cast<char *>(program.constData());
        execv(program.constData(), argv);
        _exit(127);
    }
    int raw = 0;
    if (child < 0 || waitpid(child, &raw, 0) < 0)
        *status = 2;
    else
        *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

} // namespace PrivateAppFolder
