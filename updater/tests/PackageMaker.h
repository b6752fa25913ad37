#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>

// Real zip packages, written by Python's zipfile module.
namespace PackageMaker {

inline QJsonObject file(const QString &name, const QByteArray &data, int mode = 0644)
{
    return {{"name", name}, {"data", QString::fromLatin1(data)}, {"mode", mode}};
}

inline QJsonObject link(const QString &name, const QString &target)
{
    return {{"name", name}, {"data", target}, {"link", true}};
}

inline bool make(const QString &path, const QJsonArray &entries)
{
    QProcess python;
    python.start("python3", {KORVEL_SOURCE_DIR "/updater/tests/make-package.py", path});
    if (!python.waitForStarted())
        return false;
    python.write(QJsonDocument(entries).toJson());
    python.closeWriteChannel();
    return python.waitForFinished() && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0;
}

} // namespace PackageMaker
