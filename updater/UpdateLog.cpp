#include "updater/UpdateLog.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>

CBackupFiles::CBackupFiles(QObject *parent) : CPollingThread(PollIntervalMs, parent) {}

CBackupFiles::~CBackupFiles()
{
    stop();
    // Never started, or ended before the last entries came: write them here.
    writePending();
}

void CBackupFiles::setLogDirectory(const QString &folder)
{
    {
        QMutexLocker lock(&m_mutex);
        m_path = folder + QStringLiteral("/Updatalog.txt");
    }
    trim();
}

QString CBackupFiles::logPath() const
{
    QMutexLocker lock(&m_mutex);
    return m_path;
}

void CBackupFiles::addEntry(quint32 time, const QString &text)
{
    QMutexLocker lock(&m_mutex);
    m_pending.append({time, text});
}

void CBackupFiles::start()
{
    QThread::start(QThread::IdlePriority);
}

QByteArray CBackupFiles::header(quint32 time)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(time, Qt::LocalTime);
    const QDate date = local.date();
    const QTime clock = local.time();
    return QStringLiteral("\n======= [%1-%2-%3 %4:%5:%6] =======\n")
        .arg(date.year())
        .arg(date.month())
        .arg(date.day())
        .arg(clock.hour())
        .arg(clock.minute())
        .arg(clock.second())
        .toUtf8();
}

void CBackupFiles::runPass()
{
    writePending();
}

void CBackupFiles::finalPass()
{
    writePending();
}

// The lists are exchanged under the lock; the file is written outside it.
void CBackupFiles::writePending()
{
    QVector<Entry> work;
    QString path;
    {
        QMutexLocker lock(&m_mutex);
        if (m_path.isEmpty())
            return; // kept until the folder is known
        work.swap(m_pending);
        path = m_path;
    }
    if (work.isEmpty())
        return;
    QByteArray bytes;
    for (const Entry &entry : qAsConst(work))
        bytes += header(entry.time) + entry.text.toUtf8();
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(bytes);
}

void CBackupFiles::trim() const
{
    const QString path = logPath();
    QFile file(path);
    if (file.size() <= MaxLogBytes || !file.open(QIODevice::ReadOnly))
        return;
    const QByteArray content = file.readAll();
    file.close();
    const int cut = content.indexOf("\n=======", int(content.size() - MaxLogBytes));
    if (cut < 1)
        return;
    QSaveFile rewritten(path);
    if (rewritten.open(QIODevice::WriteOnly) && rewritten.write(content.constData() + cut, content.size() - cut) >= 0)
        rewritten.commit();
}
