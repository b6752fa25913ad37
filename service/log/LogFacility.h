#pragma once

#include "common/PollingThread.h"

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVector>

class Clock;

// One log category: callers hand in finished lines, a writer thread appends
// them to the category's file of the day and once a day removes the
// category's files older than a week. Callers never wait for the disk.
// The service's log facility; the class keeps the name every part of the
// service knows it by.
class CBackupFiles : public CPollingThread
{
public:
    // Lines arriving while this many bytes wait for the disk are dropped
    // and counted: a client that makes the service log faster than the
    // disk takes must not fill the memory.
    static constexpr qint64 MaxPendingBytes = 16 * 1024 * 1024;

    // A day file stops growing at its limit: one line says so and the rest
    // of the day's lines are only counted. The limit holds the day of a
    // large venue, every box reporting its status at the shortest interval
    // the boxes use, with room for long room names (a status line is about
    // 131 bytes); only a flood goes past it.
    static constexpr qint64 VenueBoxes = 1000;
    static constexpr qint64 ReportIntervalSeconds = 10;
    static constexpr qint64 LineBudgetBytes = 192;
    static constexpr qint64 MaxDayFileBytes = VenueBoxes * (86400 / ReportIntervalSeconds) * LineBudgetBytes;
    // Free space the log leaves on its file system, for the service's own
    // files and the print spool: this much, or a twentieth of a smaller
    // file system. While less is free, lines are only counted.
    static constexpr qint64 MaxFreeSpaceMargin = 256 * 1024 * 1024;
    static qint64 freeSpaceMargin(qint64 fileSystemBytes);

    // dayFileLimit: the day file's limit; tests use a small one.
    explicit CBackupFiles(const QString &prefix, qint64 dayFileLimit = MaxDayFileBytes);
    ~CBackupFiles() override;

    void addLog(const QString &line);
    // A line whose message is `head` followed by UTF-8 bytes as they came
    // (up to a first zero byte), e.g. a request body: the writer thread
    // decodes and puts it together, so the caller's turn costs only the
    // queueing. Reads as addLog(formatLogLine(head + text, ...)) would.
    void addLog(const QString &head, const QByteArray &utf8Tail, const char *sourceFile, int sourceLine);
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
    // The lines that fit into the day file and the free space, and the
    // notice when either runs out.
    QByteArray takeWithinBounds(const QStringList &lines, qint64 fileSize, qint64 spaceLeft);
    // Bytes that may still be written before the free space falls below
    // its margin; unlimited when the file system cannot be asked.
    qint64 spaceAboveMargin(const QString &directory) const;
    void startDay(const QString &path, QByteArray &bytes);
    void reportUnwrittenLines(QByteArray &bytes) const;

    // A finished line, or (sourceFile set) the pieces of one.
    struct PendingLine
    {
        QString text;
        QByteArray utf8Tail;
        const char *sourceFile = nullptr;
        int sourceLine = 0;
        qint64 epochMs = 0;
    };
    // Dropped and counted beyond MaxPendingBytes.
    void queue(PendingLine &&line, qint64 bytes);

    QVector<PendingLine> m_pending;
    QVector<PendingLine> m_queued;
    QStringList m_drain;
    QMutex m_mutex;
    QString m_prefix;
    qint64 m_dayFileLimit;
    // Guarded by the mutex, like the pending list.
    qint64 m_pendingBytes = 0;
    qint64 m_droppedLines = 0;
    // Owned by the writer thread.
    QDateTime m_nextRemoval;
    QString m_dayFile;
    bool m_dayFull = false;
    // Stopped for want of space: written again once space is back.
    bool m_spaceShort = false;
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
// The same, stamped with the given time of the log clock.
QString formatLogLineAt(qint64 epochMs, const QString &message, const char *sourceFile, int sourceLine);

extern CBackupFiles PrinterLog;
extern CBackupFiles VodLog;

// A macro, so that the source position is the caller's.
#define WRITE_LOG(writer, message) (writer).addLog(formatLogLine((message), __FILE__, __LINE__))
#define WRITE_LOG_WITH_BYTES(writer, head, utf8Tail) (writer).addLog((head), (utf8Tail), __FILE__, __LINE__)
