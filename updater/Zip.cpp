#include "updater/Zip.h"

#include "updater/ZipResponse.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QThreadPool>

#include <QtGui/private/qzipreader_p.h>

namespace {

// An entry is taken whole into memory; a declared size beyond this is no
// program file of ours, and allocating it could end the updater.
constexpr qint64 MaxEntrySize = qint64(512) * 1024 * 1024;

const QString NewSuffix = QStringLiteral("-new");

bool isInside(const QString &path, const QString &folder)
{
    return path.startsWith(folder + QLatin1Char('/'));
}

// The "-new" path of an entry, or an empty string when the entry would land
// outside the folder: absolute, with a ".." part, or below a link that
// leads out of it.
QString targetFor(const QString &entryPath, const QString &folder, const QString &canonicalFolder)
{
    if (entryPath.isEmpty() || entryPath.startsWith(QLatin1Char('/')) || entryPath.startsWith(QLatin1Char('\\'))
        || (entryPath.size() > 1 && entryPath.at(1) == QLatin1Char(':')))
        return QString();
    const QStringList parts = entryPath.split(QRegularExpression(QStringLiteral("[/\\\\]")));
    if (parts.contains(QStringLiteral("..")))
        return QString();

    const QString target = QDir::cleanPath(folder + QLatin1Char('/') + entryPath + NewSuffix);
    if (!isInside(target, folder))
        return QString();
    const QFileInfo info(target);
    if (info.isSymLink())
        return QString();
    // A missing parent folder is fine here: opening the target fails later.
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (!parent.isEmpty() && parent != canonicalFolder && !isInside(parent, canonicalFolder))
        return QString();
    return target;
}

QByteArray entryData(const QZipReader &reader, const QZipReader::FileInfo &entry)
{
    QByteArray data = reader.fileData(entry.filePath);
    if (data.size() == entry.size)
        return data;
    // Archives made on Windows may store names in the local code page.
    const QString localName = QString::fromLocal8Bit(entry.filePath.toUtf8());
    return reader.fileData(localName);
}

// The entry's stored permissions, where the archive has them, go with the
// file to the service folder when it is new there. It stays readable and
// writable by us: the installation reads and rewrites it.
void applyStoredPermissions(const QString &path, const QZipReader::FileInfo &entry)
{
    if (entry.permissions)
        QFile::setPermissions(path, entry.permissions | QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser
                                        | QFile::WriteUser);
}

class Unpacking
{
public:
    Unpacking(const QString &zipPath, const QString &destinationFolder, ZipResponse *response)
        : m_zipPath(zipPath),
          m_folder(QDir::cleanPath(QDir(destinationFolder).absolutePath())),
          m_canonicalFolder(QFileInfo(m_folder).canonicalFilePath()),
          m_response(response)
    {
    }

    void run()
    {
        bool result = unpack();
        QFile::remove(m_zipPath);
        if (!result) {
            for (const QString &path : qAsConst(m_written))
                QFile::remove(path);
        }
        emit m_response->finished(result);
    }

private:
    bool unpack()
    {
        if (m_canonicalFolder.isEmpty())
            return false;
        QZipReader reader(m_zipPath);
        if (!reader.isReadable() || reader.status() != QZipReader::NoError)
            return false;
        // A damaged archive reads as one without entries; a package without
        // any is no package either.
        const QVector<QZipReader::FileInfo> entries = reader.fileInfoList();
        if (reader.status() != QZipReader::NoError || entries.isEmpty())
            return false;
        const int count = entries.size();
        for (int i = 0; i < count; ++i) {
            if (!unpackEntry(reader, entries.at(i)))
                return false;
            emit m_response->progress(i + 1, count);
        }
        reader.close();
        return true;
    }

    bool unpackEntry(const QZipReader &reader, const QZipReader::FileInfo &entry)
    {
        if (entry.isSymLink) {
            qWarning().noquote() << "refused link entry" << entry.filePath;
            return false;
        }
        if (!entry.isFile)
            return true; // folders are not created
        const QString target = targetFor(entry.filePath, m_folder, m_canonicalFolder);
        if (target.isEmpty()) {
            qWarning().noquote() << "refused entry outside the folder:" << entry.filePath;
            return false;
        }
        qDebug().noquote() << QStringLiteral("====22") + target;
        if (entry.size < 0 || entry.size > MaxEntrySize)
            return false;
        // An empty file is never installed. The reader also hands out names
        // with leading dots and slashes removed, under which it then finds
        // no data: only an empty entry would pass the length test that way.
        if (entry.size == 0)
            return true;

        // The "-new" name appears only once it holds the whole entry.
        QSaveFile file(target);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        const QByteArray data = entryData(reader, entry);
        if (data.size() != entry.size) {
            file.cancelWriting();
            return false;
        }
        if (file.write(data) != data.size() || !file.commit())
            return false;
        m_written.append(target);
        applyStoredPermissions(target, entry);
        return true;
    }

    const QString m_zipPath;
    const QString m_folder;
    const QString m_canonicalFolder;
    ZipResponse *const m_response;
    QStringList m_written;
};

} // namespace

ZipResponse *Zip::decompressionAsync(const QString &zipPath, const QString &destinationFolder)
{
    auto *response = new ZipResponse;
    auto startOnPool = [zipPath, destinationFolder, response] {
        QThreadPool::globalInstance()->start([zipPath, destinationFolder, response] {
            Unpacking(zipPath, destinationFolder, response).run();
        });
    };
    QMetaObject::invokeMethod(response, startOnPool, Qt::QueuedConnection);
    return response;
}
