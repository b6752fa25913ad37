#pragma once

#include "BackupFiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

// Catches what the service writes to PrinterLog: the log folder moves to a
// temporary folder and lines() drains the writer there (its thread is not
// running in tests) and returns the messages written since the last call.
class LogCapture
{
public:
    LogCapture() { initLogDirectory(m_folder.path()); }

    QStringList lines()
    {
        QDateTime noRemoval = QDateTime::currentDateTime().addYears(1);
        PrinterLog.runPass(noRemoval);
        QStringList all;
        const QDir logs(logDirectory());
        for (const QString &name : logs.entryList({QStringLiteral("PrinterLog_*.log")}, QDir::Files, QDir::Name)) {
            QFile file(logs.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                all += QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        }
        const QStringList fresh = all.mid(m_seen);
        m_seen = all.size();
        return fresh;
    }

    // The new lines that contain text.
    QStringList linesWith(const QString &text)
    {
        return lines().filter(text);
    }

private:
    QTemporaryDir m_folder;
    int m_seen = 0;
};
