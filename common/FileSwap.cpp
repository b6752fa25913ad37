#include "common/FileSwap.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <memory>

namespace {

bool readWhole(const QString &path, QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    content = file.readAll();
    return file.error() == QFileDevice::NoError;
}

// New content waiting in a flushed temporary file beside path; nothing of
// path itself is touched until commit().
std::unique_ptr<QSaveFile> prepare(const QString &path, const QByteArray &content)
{
    auto file = std::make_unique<QSaveFile>(path);
    if (!file->open(QIODevice::WriteOnly) || file->write(content) != content.size() || !file->flush()) {
        file->cancelWriting();
        return nullptr;
    }
    return file;
}

// Best effort after a failed second replacement: put the first file's old
// content back so that nothing is lost.
void restore(const QString &path, const QByteArray &content)
{
    if (auto file = prepare(path, content))
        file->commit();
}

} // namespace

bool swapFileContents(const QString &source, const QString &target)
{
    const QFileInfo sourceInfo(source);
    const QFileInfo targetInfo(target);
    if (!sourceInfo.isFile())
        return false;
    if (targetInfo.exists() && !targetInfo.isFile())
        return false;
    if (targetInfo.exists() && sourceInfo == targetInfo)
        return false; // one file under two names: nothing to exchange

    QByteArray sourceContent;
    if (!readWhole(source, sourceContent))
        return false;

    if (!targetInfo.exists()) {
        auto newTarget = prepare(target, sourceContent);
        if (!newTarget)
            return false;
        newTarget->setPermissions(sourceInfo.permissions());
        return newTarget->commit();
    }

    QByteArray targetContent;
    if (!readWhole(target, targetContent))
        return false;
    auto newTarget = prepare(target, sourceContent);
    auto newSource = prepare(source, targetContent);
    if (!newTarget || !newSource) {
        if (newTarget)
            newTarget->cancelWriting();
        if (newSource)
            newSource->cancelWriting();
        return false;
    }
    if (!newTarget->commit()) {
        newSource->cancelWriting();
        return false;
    }
    if (!newSource->commit()) {
        restore(target, targetContent);
        return false;
    }
    return true;
}
