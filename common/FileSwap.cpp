#include "common/FileSwap.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <filesystem>
#include <memory>
#include <system_error>

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

namespace {

namespace fs = std::filesystem;

fs::path nativePath(const QString &path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

// A second name for target's file, made under a temporary name and renamed
// into place, so keepOldAs never names a half copy.
bool keepOld(const fs::path &target, const fs::path &keepOldAs, QString *error)
{
    fs::path temporary = keepOldAs;
    temporary += ".keeping";
    std::error_code code;
    fs::remove(temporary, code);
    fs::create_hard_link(target, temporary, code);
    if (code) {
        // Another file system below the folder, or one without links.
        code.clear();
        fs::copy_file(target, temporary, fs::copy_options::overwrite_existing, code);
        if (code)
            return fail(error, QStringLiteral("cannot keep the old file: ") + QString::fromStdString(code.message()));
    }
    fs::rename(temporary, keepOldAs, code);
    if (code) {
        fs::remove(temporary, code);
        return fail(error, QStringLiteral("cannot keep the old file: ") + QString::fromStdString(code.message()));
    }
    return true;
}

} // namespace

bool replaceByRename(const QString &replacement, const QString &target, const QString &keepOldAs, QString *error)
{
    const fs::path from = nativePath(replacement);
    const fs::path to = nativePath(target);
    std::error_code code;
    if (!fs::is_regular_file(fs::symlink_status(from, code)))
        return fail(error, QStringLiteral("no file to put in place: ") + replacement);
    const fs::file_status existing = fs::symlink_status(to, code);
    if (fs::is_directory(existing))
        return fail(error, QStringLiteral("a folder stands in the file's place: ") + target);
    if (!keepOldAs.isEmpty()) {
        if (fs::exists(existing) || fs::is_symlink(existing)) {
            if (!keepOld(to, nativePath(keepOldAs), error))
                return false;
        } else {
            fs::remove(nativePath(keepOldAs), code);
        }
    }
    fs::rename(from, to, code);
    if (code)
        return fail(error, QStringLiteral("cannot rename into place: ") + QString::fromStdString(code.message()));
    return true;
}
