#pragma once

#include <QString>
#include <QtGlobal>

// One printer's layout settings, and also one queued print job.
struct PrintRecord
{
    qint32 active = 0;      // 1 once queued as a job
    qint32 printerLeft = 0; // extra left margin in points, added to the base 15
    qint32 width = 0;       // paper width in mm; 0: the printer's own
    qint32 height = 0;      // paper height in mm; 0: the printer's own
    QString name;           // printer name, case-sensitive; empty: default printer
    QString content;        // receipt HTML (jobs only)
    QString logoPath;       // local logo file the job waits for; null when none
    qint64 receivedMs = 0;  // arrival of the print command, ms since the epoch
};
