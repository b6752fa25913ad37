#pragma once

#include <QDateTime>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

class Clock;

// One log category: callers hand in finished lines, a writer thread appends
// them to the category's file of the day and once a day removes the
// category's files older than a week. Callers never wait for the disk.
class CBackupFiles : public QThread
{
public:
    explicit CBackupFiles(const QString &prefix);
    ~CBackupFiles() override;

    void addLog(const QString &line);
    QString prefix() const { return m_prefix; }

    // Ends the writer thread after it has written every pending line. The
    // program calls it on an orderly exit, while Qt is still whole; the
    // destructor calls it too.
    void stop();

    // One pass of the writer loop: write everything pending, then remove
    // expired files when nextRemoval has passed (moving it on by a day).
    // The loop calls it every 500 ms; tests call it directly.
    void runPass(QDateTime &nextRemoval);
    // The first removal is due today at 03:00.
    static QDateTime firstRemovalTime(const QDateTime &now);

    void writeLogs(const QStringList &lines);
    void removeExpiredLogs();

protected:
    void run() override;

private:
    bool drainOnce();
    void sleepUnlessStopped(int ms);

    QStringList m_pending;
    QStringList m_drain;
    QMutex m_mutex;
    std::atomic<bool> m_stop{false};
    QString m_prefix;
    QWaitCondition m_wake;
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
