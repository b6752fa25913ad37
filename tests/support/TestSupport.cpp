#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace TestSupport {

bool inHarness()
{
    return qEnvironmentVariable("KORVEL_IN_HARNESS") == QLatin1String("1");
}

QString artifactDir()
{
    QString dir = qEnvironmentVariable("KORVEL_ARTIFACT_DIR");
    if (dir.isEmpty())
        dir = QDir::tempPath() + QStringLiteral("/korvel-test-artifacts");
    QDir().mkpath(dir);
    return dir;
}

QString builtProgram(const QString &relativePath)
{
    return QStringLiteral(KORVEL_BINARY_DIR_STRING "/") + relativePath;
}

QString copyProgram(const QString &programPath, const QString &folder)
{
    const QString target = folder + QLatin1Char('/') + QFileInfo(programPath).fileName();
    QDir().mkpath(folder);
    QFile::remove(target);
    if (!QFile::copy(programPath, target))
        return QString();
    QFile::setPermissions(target, QFile::permissions(programPath));
    return target;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace TestSupport
