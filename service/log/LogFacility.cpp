#include "service/log/LogFacility.h"

#include "common/Clock.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStorageInfo>

#include <atomic>
#include <limits>
#include <utility>

namespace {

constexpr int PassIntervalMs = 500;
// Under a steady stream of lines (a busy command port) each drain finds only
// a few: a short pause between drains lets them gather, so the day file is
// opened and its file system asked for free space tens of times a second
// rather than hundreds, on a core the clients need. The queue's bound holds
// far more than this pause gathers.
constexpr int GatherMs = 50;
constexpr qint64 MaxLogAgeSeconds = 604800;

// Process-wide state. Defined before the writers below so that it is
// destroyed after them: the writers still read it while they stop.
QMutex g_stateMutex;
QString g_logDirectory;
// Read for every line, so without the lock.
std::atomic<const Clock *> g_logClock{nullptr};

} // namespace

CBackupFiles PrinterLog(QStringLiteral("PrinterLog"));
CBackupFiles VodLog(QStringLiteral("VodLog"));

void initLogDirectory(const QString &applicationDir)
{
    const QString directory = applicationDir + QStringLiteral("/logs");
    {
        QMutexLocker lock(&g_stateMutex);
        g_logDirectory = directory;
    }
    if (!QDir(directory).exists())
        QDir().mkpath(directory);
}

QString logDirectory()
{
    QMutexLocker lock(&g_stateMutex);
    return g_logDirectory;
}

void setLogClock(const Clock *clock)
{
    g_logClock.store(clock, std::memory_order_release);
}

const Clock &logClock()
{
    const Clock *clock = g_logClock.load(std::memory_order_acquire);
    return clock ? *clock : Clock::system();
}

void startLogWriters()
{
    PrinterLog.start(QThread::IdlePriority);
    VodLog.start(QThread::IdlePriority);
}

void stopLogWriters()
{
    VodLog.stop();
    PrinterLog.stop();
}

// The local time stamp of a second. Turning the clock into local time
// costs a look at the time-zone data, so each thread keeps the last
// second's text. ISO forms need no locale, so they also work at exit.
static QString timeStamp(qint64 ms)
{
    thread_local qint64 cachedSecond = 0;
    thread_local QString cachedStamp;

    const qint64 second = ms >= 0 ? ms / 1000 : -((999 - ms) / 1000);
    if (cachedSecond != second || cachedStamp.isEmpty()) {
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(second * 1000, Qt::LocalTime);
        cachedStamp = local.date().toString(Qt::ISODate) + QLatin1Char(' ') + local.time().toString(Qt::ISODate);
        cachedSecond = second;
    }
    return cachedStamp;
}

// The file's name without its folders. The callers' names are string
// literals, few and lasting: each thread keeps what it made of them, and
// checks the text, since a name that is no literal may change under the
// same address.
static QString sourceFileName(const char *sourceFile)
{
    struct Known
    {
        QByteArray source;
        QString name;
    };
    thread_local QHash<const char *, Known> known;
    const auto it = known.constFind(sourceFile);
    if (it != known.constEnd() && qstrcmp(it->source.constData(), sourceFile) == 0)
        return it->name;
    QString file = QString::fromUtf8(sourceFile);
    const int slash = qMax(file.lastIndexOf(QLatin1Char('/')), file.lastIndexOf(QLatin1Char('\\')));
    if (slash >= 0)
        file = file.mid(slash + 1);
    if (known.size() >= 256)
        known.clear();
    known.insert(sourceFile, Known{QByteArray(sourceFile), file});
    return file;
}

QString formatLogLine(const QString &message, const char *sourceFile, int sourceLine)
{
    return formatLogLineAt(logClock().epochMs(), message, sourceFile, sourceLine);
}

QString formatLogLineAt(qint64 epochMs, const QString &message, const char *sourceFile, int sourceLine)
{
    // Put together piece by piece: a message carrying "%2F" or the like (an
    // encoded address) is never taken for a place to fill, and the line
    // costs one allocation.
    const QString stamp = timeStamp(epochMs);
    const QString file = sourceFileName(sourceFile);
    // Digits from the back; a line number is never negative.
    char lineText[12];
    int lineLength = 0;
    for (unsigned value = unsigned(qMax(sourceLine, 0)); lineLength == 0 || value > 0; value /= 10)
        lineText[sizeof lineText - 1 - lineLength++] = char('0' + value % 10);
    QString line;
    line.reserve(stamp.size() + message.size() + file.size() + lineLength + 8);
    line += QLatin1Char('[');
    line += stamp;
    line += QLatin1String("] ");
    line += message;
    line += QLatin1String(" (");
    line += file;
    line += QLatin1Char(':');
    line += QLatin1String(lineText + sizeof lineText - lineLength, lineLength);
    line += QLatin1String(")\n");
    return line;
}

CBackupFiles::CBackupFiles(const QString &prefix, qint64 dayFileLimit)
    : CPollingThread(PassIntervalMs), m_prefix(prefix), m_dayFileLimit(dayFileLimit)
{
}

qint64 CBackupFiles::freeSpaceMargin(qint64 fileSystemBytes)
{
    return qMin(MaxFreeSpaceMargin, fileSystemBytes / 20);
}

// The thread writes what is still pending before it returns; destroying it
// while it runs would free the lists under it, so wait it out.
CBackupFiles::~CBackupFiles()
{
    stop();
}

void CBackupFiles::addLog(const QString &line)
{
    PendingLine pending;
    pending.text = line;
    queue(std::move(pending), line.size() * qint64(sizeof(QChar)));
}

void CBackupFiles::addLog(const QString &head, const QByteArray &utf8Tail, const char *sourceFile, int sourceLine)
{
    PendingLine pending;
    pending.text = head;
    pending.utf8Tail = utf8Tail;
    pending.sourceFile = sourceFile;
    pending.sourceLine = sourceLine;
    pending.epochMs = logClock().epochMs();
    // What the finished line will take, about: the tail as UTF-16 and the
    // stamp and source around it.
    queue(std::move(pending), (head.size() + utf8Tail.size() + 64) * qint64(sizeof(QChar)));
}

void CBackupFiles::queue(PendingLine &&line, qint64 bytes)
{
    QMutexLocker lock(&m_mutex);
    if (m_pendingBytes + bytes > MaxPendingBytes) {
        ++m_droppedLines;
        return;
    }
    m_pending.append(std::move(line));
    m_pendingBytes += bytes;
}

QDateTime CBackupFiles::firstRemovalTime(const QDateTime &now)
{
    return QDateTime(now.date(), QTime(3, 0));
}

void CBackupFiles::runPass()
{
    if (m_nextRemoval.isNull())
        m_nextRemoval = firstRemovalTime(logClock().localNow());
    runPass(m_nextRemoval);
}

void CBackupFiles::finalPass()
{
    while (drainOnce()) {
    }
    // The count of a full day file would otherwise be lost with the
    // process; one line over the limit says it.
    if (m_unwrittenLines > 0) {
        QByteArray bytes;
        reportUnwrittenLines(bytes);
        QFile file(m_dayFile);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write(bytes);
        m_unwrittenLines = 0;
    }
}

void CBackupFiles::runPass(QDateTime &nextRemoval)
{
    // Write until nothing is pending, so lines queued while writing make it
    // in before the time check. A stop during the pause leaves the rest to
    // the final pass.
    while (drainOnce()) {
        if (!sleepMs(GatherMs))
            return;
    }
    if (nextRemoval < logClock().localNow()) {
        removeExpiredLogs();
        nextRemoval = nextRemoval.addDays(1);
    }
}

bool CBackupFiles::drainOnce()
{
    m_drain.clear();
    qint64 dropped = 0;
    {
        QMutexLocker lock(&m_mutex);
        if (!m_pending.isEmpty())
            m_pending.swap(m_queued);
        m_pendingBytes = 0;
        dropped = std::exchange(m_droppedLines, 0);
    }
    m_drain.reserve(m_queued.size() + 1);
    for (const PendingLine &line : qAsConst(m_queued)) {
        if (!line.sourceFile) {
            m_drain.append(line.text);
            continue;
        }
        const int zero = line.utf8Tail.indexOf('\0');
        const QByteArray tail = zero < 0 ? line.utf8Tail : line.utf8Tail.left(zero);
        m_drain.append(formatLogLineAt(line.epochMs, line.text + QString::fromUtf8(tail), line.sourceFile,
                                       line.sourceLine));
    }
    m_queued.clear();
    if (dropped > 0) {
        m_drain.append(formatLogLine(QStringLiteral("日志积压超过%1字节，丢弃%2行").arg(MaxPendingBytes).arg(dropped),
                                     __FILE__, __LINE__));
    }
    if (m_drain.isEmpty())
        return false;
    writeLogs(m_drain);
    return true;
}

void CBackupFiles::writeLogs(const QStringList &lines)
{
    const QString directory = logDirectory();
    if (!QDir(directory).exists())
        QDir().mkpath(directory);

    const QString path = QStringLiteral("%1/%2_%3.log")
                             .arg(directory, m_prefix,
                                  logClock().localNow().date().toString(Qt::ISODate));
    QByteArray bytes;
    if (path != m_dayFile)
        startDay(path, bytes);
    if (m_dayFull) {
        m_unwrittenLines += lines.size();
        return;
    }

    const qint64 spaceLeft = spaceAboveMargin(directory);
    if (m_spaceShort) {
        if (spaceLeft <= 0) {
            m_unwrittenLines += lines.size();
            return;
        }
        // Space is back: the count of what was missed comes first.
        reportUnwrittenLines(bytes);
        m_unwrittenLines = 0;
        m_spaceShort = false;
    }

    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return; // the batch is dropped; logging must never stop the service
    bytes += takeWithinBounds(lines, file.size() + bytes.size(), spaceLeft - bytes.size());
    file.write(bytes);
    file.close();
}

qint64 CBackupFiles::spaceAboveMargin(const QString &directory) const
{
    const QStorageInfo storage(directory);
    if (!storage.isValid() || !storage.isReady() || storage.bytesTotal() <= 0)
        return std::numeric_limits<qint64>::max();
    return storage.bytesAvailable() - freeSpaceMargin(storage.bytesTotal());
}

// A new day's file (or the first of this run) starts with the count of the
// lines the full file of the day before could not take.
void CBackupFiles::startDay(const QString &path, QByteArray &bytes)
{
    reportUnwrittenLines(bytes);
    m_unwrittenLines = 0;
    m_dayFile = path;
    m_dayFull = false;
    m_spaceShort = false;
}

QByteArray CBackupFiles::takeWithinBounds(const QStringList &lines, qint64 fileSize, qint64 spaceLeft)
{
    // A file found full (by an earlier run) already says so.
    if (fileSize >= m_dayFileLimit) {
        m_dayFull = true;
        m_unwrittenLines += lines.size();
        return QByteArray();
    }
    QByteArray bytes;
    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).toUtf8();
        const qint64 after = bytes.size() + line.size();
        if (fileSize + after <= m_dayFileLimit && after <= spaceLeft) {
            bytes += line;
            continue;
        }
        m_unwrittenLines += lines.size() - i;
        // The notice itself may go a line past either bound.
        if (fileSize + after > m_dayFileLimit) {
            m_dayFull = true;
            bytes += formatLogLine(QStringLiteral("日志文件已达%1字节，今天其余的日志只计数，不再写入").arg(m_dayFileLimit),
                                   __FILE__, __LINE__)
                         .toUtf8();
        } else {
            m_spaceShort = true;
            bytes += formatLogLine(QStringLiteral("磁盘剩余空间不足，日志暂停写入，只计数，直到空间恢复"), __FILE__, __LINE__)
                         .toUtf8();
        }
        break;
    }
    return bytes;
}

void CBackupFiles::reportUnwrittenLines(QByteArray &bytes) const
{
    if (m_unwrittenLines == 0)
        return;
    const QString text = m_spaceShort ? QStringLiteral("磁盘剩余空间不足，%1未写入%2行")
                                      : QStringLiteral("日志文件%1已满，未写入%2行");
    bytes += formatLogLine(text.arg(QFileInfo(m_dayFile).fileName()).arg(m_unwrittenLines), __FILE__, __LINE__).toUtf8();
}

void CBackupFiles::removeExpiredLogs()
{
    const QString directory = logDirectory();
    QDir dir(directory);
    if (!dir.exists()) {
        qWarning() << "Directory does not exist:" << directory;
        return;
    }

    const QDateTime now = logClock().localNow();
    // Name filters match without regard to case unless asked otherwise.
    const QFileInfoList files = dir.entryInfoList({m_prefix + QStringLiteral("*.log")},
                                                  QDir::Files | QDir::NoSymLinks | QDir::Hidden,
                                                  QDir::Unsorted);
    for (const QFileInfo &info : files) {
        if (info.lastModified().secsTo(now) <= MaxLogAgeSeconds)
            continue;
        if (QFile::remove(info.filePath()))
            qDebug() << "Deleted file:" << info.filePath();
        else
            qWarning() << "Failed to delete file:" << info.filePath();
    }
}
