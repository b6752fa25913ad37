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

// A program file of this build with text appended: still runs, other bytes.
inline QJsonObject program(const QString &name, const QString &builtPath, const QString &append)
{
    return {{"name", name}, {"from", builtPath}, {"append", append}, {"mode", 0755}};
}

// jamcrc: the package's checksum as an update server announces it.
inline bool make(const QString &path, const QJsonArray &entries, quint32 *jamcrc = nullptr)
{
    QProcess python;
    python.start("python3", {KORVEL_SOURCE_DIR "/updater/tests/make-package.py", path});
    if (!python.waitForStarted())
        return false;
    python.write(QJsonDocument(entries).toJson());
    python.closeWriteChannel();
    if (!python.waitForFinished(120000) || python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0)
        return false;
    if (jamcrc)
        *jamcrc = python.readAllStandardOutput().trimmed().toUInt();
    return true;
}

} // namespace PackageMaker
