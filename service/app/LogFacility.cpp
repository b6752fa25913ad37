#include "service/app/LogFacility.h"

#include "common/Clock.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr int PassIntervalMs = 500;
constexpr qint64 MaxLogAgeSeconds = 604800;

// Process-wide state. Defined before the writers below so that it is
// destroyed after them: the writers still read it while they stop.
QMutex g_stateMutex;
QString g_logDirectory;
const Clock *g_logClock = nullptr;

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
    QMutexLocker lock(&g_stateMutex);
    g_logClock = clock;
}

const Clock &logClock()
{
    QMutexLocker lock(&g_stateMutex);
    return g_logClock ? *g_logClock : Clock::system();
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

// The local time stamp of the current second. Turning the clock into local
// time costs a look at the time-zone data, so each thread keeps the last
// second's text. ISO forms need no locale, so they also work at exit.
static QString timeStamp(const Clock &clock)
{
    thread_local const Clock *cachedClock = nullptr;
    thread_local qint64 cachedSecond = 0;
    thread_local QString cachedStamp;

    const qint64 ms = clock.epochMs();
    const qint64 second = ms >= 0 ? ms / 1000 : -((999 - ms) / 1000);
    if (cachedClock != &clock || cachedSecond != second || cachedStamp.isEmpty()) {
        const QDateTime local = QDateTime::fromMSecsSinceEpoch(second * 1000, Qt::LocalTime);
        cachedStamp = local.date().toString(Qt::ISODate) + QLatin1Char(' ') + local.time().toString(Qt::ISODate);
        cachedClock = &clock;
        cachedSecond = second;
    }
    return cachedStamp;
}

QString formatLogLine(const QString &message, const char *sourceFile, int sourceLine)
{
    QString file = QString::fromUtf8(sourceFile);
    const int slash = qMax(file.lastIndexOf(QLatin1Char('/')), file.lastIndexOf(QLatin1Char('\\')));
    if (slash >= 0)
        file = file.mid(slash + 1);
    // In one arg(): a message carrying "%2F" or the like (an encoded address)
    // must not be taken for a place to fill.
    return QStringLiteral("[%1] %2 (%3:%4)\n").arg(timeStamp(logClock()), message, file, QString::number(sourceLine));
}

CBackupFiles::CBackupFiles(const QString &prefix) : CPollingThread(PassIntervalMs), m_prefix(prefix) {}

// The thread writes what is still pending before it returns; destroying it
// while it runs would free the lists under it, so wait it out.
CBackupFiles::~CBackupFiles()
{
    stop();
}

void CBackupFiles::addLog(const QString &line)
{
    QMutexLocker lock(&m_mutex);
    m_pending.append(line);
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
}

void CBackupFiles::runPass(QDateTime &nextRemoval)
{
    // Write until nothing is pending, so lines queued while writing make it
    // in before the time check.
    while (drainOnce()) {
        if (stopRequested())
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
    {
        QMutexLocker lock(&m_mutex);
        if (!m_pending.isEmpty())
            m_pending.swap(m_drain);
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
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return; // the batch is dropped; logging must never stop the service

    QByteArray bytes;
    for (const QString &line : lines)
        bytes += line.toUtf8();
    file.write(bytes);
    file.close();
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
