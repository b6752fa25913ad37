#pragma once

#include "common/PollingThread.h"

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QStringList>

class Clock;

// One log category: callers hand in finished lines, a writer thread appends
// them to the category's file of the day and once a day removes the
// category's files older than a week. Callers never wait for the disk.
// The service's log facility; the class keeps the name every part of the
// service knows it by.
class CBackupFiles : public CPollingThread
{
public:
    explicit CBackupFiles(const QString &prefix);
    ~CBackupFiles() override;

    // Lines arriving while this many bytes wait for the disk are dropped
    // and counted: a client that makes the service log faster than the
    // disk takes must not fill the memory.
    static constexpr qint64 MaxPendingBytes = 16 * 1024 * 1024;
    // A day file stops growing here: one line says so and the rest of the
    // day's lines are only counted. Two writers keeping eight days stay
    // within half a GiB.
    static constexpr qint64 MaxDayFileBytes = 32 * 1024 * 1024;

    void addLog(const QString &line);
    QString prefix() const { return m_prefix; }

    // stop() ends the writer thread after it has written every pending
    // line. The program calls it on an orderly exit, while Qt is still
    // whole; the destructor calls it too.

    // One pass of the writer loop: write everything pending, then remove
    // expired files when nextRemoval has passed (moving it on by a day).
    // The loop calls it every 500 ms; tests call it directly.
    void runPass(QDateTime &nextRemoval);
    // The first removal is due today at 03:00.
    static QDateTime firstRemovalTime(const QDateTime &now);

    void writeLogs(const QStringList &lines);
    void removeExpiredLogs();

protected:
    void runPass() override;
    // An orderly exit keeps the last lines, which usually explain the exit.
    void finalPass() override;

private:
    bool drainOnce();
    // The lines that fit into the day file, and the notice when it fills.
    QByteArray takeWithinDayLimit(const QStringList &lines, qint64 fileSize);
    void startDay(const QString &path, QByteArray &bytes);
    void reportUnwrittenLines(QByteArray &bytes) const;

    QStringList m_pending;
    QStringList m_drain;
    QMutex m_mutex;
    QString m_prefix;
    // Guarded by the mutex, like the pending list.
    qint64 m_pendingBytes = 0;
    qint64 m_droppedLines = 0;
    // Owned by the writer thread.
    QDateTime m_nextRemoval;
    QString m_dayFile;
    bool m_dayFull = false;
    qint64 m_unwrittenLines = 0;
};

// The log folder is applicationDir + "/logs"; created when missing.
void initLogDirectory(const QString &applicationDir);
QString logDirectory();

// The clock of time stamps, file dates and removals; nullptr restores the
// system clock. The clock must outlive its use.
void setLogClock(const Clock *clock);
const Clock &logClock();

// Starts the writers (PrinterLog first) and stops them (VodLog first).
void startLogWriters();
void stopLogWriters();

// "[yyyy-MM-dd hh:mm:ss] message (file.cpp:line)\n"
QString formatLogLine(const QString &message, const char *sourceFile, int sourceLine);

extern CBackupFiles PrinterLog;
extern CBackupFiles VodLog;

// A macro, so that the source position is the caller's.
#define WRITE_LOG(writer, message) (writer).addLog(formatLogLine((message), __FILE__, __LINE__))
