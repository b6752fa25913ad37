#pragma once

#include "service/log/LogFacility.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

// Catches what the service writes to PrinterLog: the log folder moves to a
// temporary folder, where lines() drains the writer (its thread does not run
// in tests) and reads the messages written since the last mark().
class LogCapture
{
public:
    LogCapture() { initLogDirectory(m_folder.path()); }

    void mark() { m_seen = allLines().size(); }

    QStringList lines() { return allLines().mid(m_seen); }

    QStringList linesWith(const QString &text) { return lines().filter(text); }

private:
    QStringList allLines() const
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
        return all;
    }

    QTemporaryDir m_folder;
    int m_seen = 0;
};
