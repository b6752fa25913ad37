#pragma once

#include "common/PollingThread.h"

#include <QMutex>
#include <QString>
#include <QVector>

// The update log "Updatalog.txt" of the Updater: entries queued from any
// thread, appended to the file by a thread of its own every 500 ms. Entries
// still queued when it stops are written then, so the last lines of an
// update are never lost.
class CBackupFiles : public CPollingThread
{
public:
    static constexpr int PollIntervalMs = 500;
    // At start-up a larger file is cut to the entries beginning in its last
    // this many bytes.
    static constexpr qint64 MaxLogBytes = 10485760;

    explicit CBackupFiles(QObject *parent = nullptr);
    ~CBackupFiles() override;

    void setLogDirectory(const QString &folder);
    QString logPath() const;

    // time: Unix seconds. Thread-safe.
    void addEntry(quint32 time, const QString &text);

    // Runs the writer at idle priority.
    void start();

    // "\n======= [y-M-d h:m:s] =======\n" in local time, no leading zeros.
    static QByteArray header(quint32 time);

protected:
    void runPass() override;
    void finalPass() override;

private:
    struct Entry
    {
        quint32 time;
        QString text;
    };

    void writePending();
    void trim() const;

    mutable QMutex m_mutex; // guards m_pending and m_path
    QVector<Entry> m_pending;
    QString m_path;
};
