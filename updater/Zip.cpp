#include "updater/Zip.h"

#include "updater/ZipResponse.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStorageInfo>
#include <QTextCodec>
#include <QThreadPool>

#include <zip.h>

#include <sys/stat.h>

#include <memory>

namespace {

// No program file of ours comes near this; a larger entry is refused.
constexpr qint64 MaxEntrySize = qint64(512) * 1024 * 1024;
// A package that inflates far beyond its own size is a bomb, not a release:
// the whole is refused before anything is written.
constexpr qint64 MaxInflationRatio = 100;
constexpr qint64 MaxTotalSize = qint64(2) * 1024 * 1024 * 1024;
// Small packages of text files may compress better than the ratio allows.
constexpr qint64 MinTotalBound = qint64(1) * 1024 * 1024;
constexpr qint64 MaxEntries = 100000;
constexpr qint64 BlockBytes = 1 << 20;

const QString NewSuffix = QStringLiteral("-new");

struct ArchiveCloser
{
    void operator()(zip_t *archive) const { zip_discard(archive); }
};
struct EntryCloser
{
    void operator()(zip_file_t *entry) const { zip_fclose(entry); }
};
using Archive = std::unique_ptr<zip_t, ArchiveCloser>;
using EntryReader = std::unique_ptr<zip_file_t, EntryCloser>;

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

// Names are UTF-8 where they decode as such; archives made on Windows may
// store them in the local code page instead.
QString entryName(const char *raw)
{
    const QByteArray bytes(raw);
    QTextCodec::ConverterState state;
    const QString utf8 = QTextCodec::codecForMib(106)->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 ? utf8 : QString::fromLocal8Bit(bytes);
}

// The Unix mode the archive stores for an entry, or -1 when it has none.
int storedMode(zip_t *archive, zip_uint64_t index)
{
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    if (zip_file_get_external_attributes(archive, index, 0, &system, &attributes) != 0 || system != ZIP_OPSYS_UNIX)
        return -1;
    const int mode = int(attributes >> 16);
    return mode == 0 ? -1 : mode;
}

// Unpacked files stay readable and writable by us (the installation reads
// and rewrites them) and are never writable by others; only the stored
// read and execute bits go with them.
QFileDevice::Permissions permissionsFor(int mode)
{
    const int bits = mode < 0 ? 0644 : ((mode & 0755) | 0600);
    QFileDevice::Permissions permissions;
    const std::pair<int, QFileDevice::Permissions> map[] = {
        {S_IRUSR, QFileDevice::ReadOwner | QFileDevice::ReadUser},
        {S_IWUSR, QFileDevice::WriteOwner | QFileDevice::WriteUser},
        {S_IXUSR, QFileDevice::ExeOwner | QFileDevice::ExeUser},
        {S_IRGRP, QFileDevice::ReadGroup}, {S_IXGRP, QFileDevice::ExeGroup},
        {S_IROTH, QFileDevice::ReadOther}, {S_IXOTH, QFileDevice::ExeOther}};
    for (const auto &[bit, permission] : map) {
        if (bits & bit)
            permissions |= permission;
    }
    return permissions;
}

struct Entry
{
    zip_uint64_t index = 0;
    QString name;
    qint64 size = 0;
    int mode = -1;
    bool isFolder = false;
    bool isLink = false;
};

class Unpacking
{
public:
    Unpacking(const QString &zipPath, const QString &destinationFolder, const QStringList &refusedNames,
              ZipResponse *response)
        : m_zipPath(zipPath),
          m_folder(QDir::cleanPath(QDir(destinationFolder).absolutePath())),
          m_canonicalFolder(QFileInfo(m_folder).canonicalFilePath()),
          m_refusedNames(refusedNames),
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
        int error = 0;
        const QByteArray path = QFile::encodeName(m_zipPath);
        Archive archive(zip_open(path.constData(), ZIP_RDONLY | ZIP_CHECKCONS, &error));
        if (!archive) {
            qWarning().noquote() << "cannot open the package" << m_zipPath << "error" << error;
            return false;
        }
        QVector<Entry> entries;
        if (!readDirectory(archive.get(), &entries) || !fitsBounds(entries) || holdsRefusedName(entries))
            return false;
        const int count = entries.size();
        for (int i = 0; i < count; ++i) {
            if (!unpackEntry(archive.get(), entries.at(i)))
                return false;
            emit m_response->progress(i + 1, count);
        }
        return true;
    }

    // A package without entries, or with more than any release has, is no
    // package either.
    static bool readDirectory(zip_t *archive, QVector<Entry> *entries)
    {
        const zip_int64_t count = zip_get_num_entries(archive, 0);
        if (count <= 0 || count > MaxEntries)
            return false;
        for (zip_int64_t i = 0; i < count; ++i) {
            Entry entry;
            entry.index = zip_uint64_t(i);
            zip_stat_t stat;
            zip_stat_init(&stat);
            const char *raw = zip_get_name(archive, entry.index, ZIP_FL_ENC_RAW);
            if (!raw || zip_stat_index(archive, entry.index, 0, &stat) != 0 || !(stat.valid & ZIP_STAT_SIZE))
                return false;
            entry.name = entryName(raw);
            entry.size = stat.size > zip_uint64_t(MaxTotalSize) ? MaxTotalSize + 1 : qint64(stat.size);
            entry.mode = storedMode(archive, entry.index);
            entry.isLink = entry.mode >= 0 && S_ISLNK(entry.mode);
            entry.isFolder = entry.name.endsWith(QLatin1Char('/')) || (entry.mode >= 0 && S_ISDIR(entry.mode));
            entries->append(entry);
        }
        return true;
    }

    bool fitsBounds(const QVector<Entry> &entries) const
    {
        qint64 total = 0;
        for (const Entry &entry : entries) {
            if (entry.isFolder || entry.isLink)
                continue;
            if (entry.size > MaxEntrySize) {
                qWarning().noquote() << "refused entry of" << entry.size << "bytes:" << entry.name;
                return false;
            }
            total += entry.size;
        }
        const qint64 packageSize = QFileInfo(m_zipPath).size();
        const qint64 bound = qMin(MaxTotalSize, qMax(MinTotalBound, packageSize * MaxInflationRatio));
        if (total > bound) {
            qWarning().noquote() << "refused package inflating to" << total << "bytes from" << packageSize;
            return false;
        }
        const qint64 free = QStorageInfo(m_folder).bytesAvailable();
        if (free >= 0 && total > free) {
            qWarning().noquote() << "refused package of" << total << "bytes: only" << free << "free";
            return false;
        }
        return true;
    }

    bool holdsRefusedName(const QVector<Entry> &entries) const
    {
        for (const Entry &entry : entries) {
            const QString path = QDir::cleanPath(QString(entry.name).replace(QLatin1Char('\\'), QLatin1Char('/')));
            const QString fileName = path.section(QLatin1Char('/'), -1);
            if (m_refusedNames.contains(fileName)) {
                qWarning().noquote() << "refused package holding" << entry.name;
                return true;
            }
        }
        return false;
    }

    bool unpackEntry(zip_t *archive, const Entry &entry)
    {
        if (entry.isLink) {
            qWarning().noquote() << "refused link entry" << entry.name;
            return false;
        }
        // Folders are not created; an empty file is never installed, so it
        // is not written either, wherever it points.
        if (entry.isFolder || entry.size == 0)
            return true;
        const QString target = targetFor(entry.name, m_folder, m_canonicalFolder);
        if (target.isEmpty()) {
            qWarning().noquote() << "refused entry outside the folder:" << entry.name;
            return false;
        }
        qDebug().noquote() << QStringLiteral("====22") + target;
        // The "-new" name appears only once it holds the whole entry.
        QSaveFile file(target);
        if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(permissionsFor(entry.mode)))
            return false;
        if (!copyEntry(archive, entry, &file)) {
            file.cancelWriting();
            return false;
        }
        if (!file.commit())
            return false;
        m_written.append(target);
        return true;
    }

    // Inflates block by block, never past the size the archive declares.
    static bool copyEntry(zip_t *archive, const Entry &entry, QSaveFile *file)
    {
        EntryReader reader(zip_fopen_index(archive, entry.index, 0));
        if (!reader) {
            qWarning().noquote() << "cannot read entry" << entry.name << zip_strerror(archive);
            return false;
        }
        QByteArray block(int(BlockBytes), Qt::Uninitialized);
        qint64 done = 0;
        for (;;) {
            const qint64 wanted = qMin(BlockBytes, entry.size - done + 1);
            const zip_int64_t read = zip_fread(reader.get(), block.data(), zip_uint64_t(wanted));
            if (read < 0) {
                qWarning().noquote() << "damaged entry" << entry.name << zip_file_strerror(reader.get());
                return false;
            }
            if (read == 0)
                break;
            done += read;
            if (done > entry.size)
                break;
            if (file->write(block.constData(), read) != read)
                return false;
        }
        if (done != entry.size) {
            qWarning().noquote() << "refused entry" << entry.name << "declaring" << entry.size << "bytes, holding"
                                 << (done > entry.size ? "more" : QByteArray::number(done));
            return false;
        }
        return true;
    }

    const QString m_zipPath;
    const QString m_folder;
    const QString m_canonicalFolder;
    const QStringList m_refusedNames;
    ZipResponse *const m_response;
    QStringList m_written;
};

} // namespace

ZipResponse *Zip::decompressionAsync(const QString &zipPath, const QString &destinationFolder,
                                     const QStringList &refusedNames)
{
    auto *response = new ZipResponse;
    auto startOnPool = [zipPath, destinationFolder, refusedNames, response] {
        QThreadPool::globalInstance()->start([zipPath, destinationFolder, refusedNames, response] {
            Unpacking(zipPath, destinationFolder, refusedNames, response).run();
        });
    };
    QMetaObject::invokeMethod(response, startOnPool, Qt::QueuedConnection);
    return response;
}
