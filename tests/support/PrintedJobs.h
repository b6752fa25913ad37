#pragma once

#include <QList>
#include <QSizeF>
#include <QString>

// What the harness's private print scheduler received: its jobs, and the
// documents it kept for them.
namespace PrintedJobs {

struct Job
{
    int id = 0;
    QString queue;
    // The spooled document ($KORVEL_CUPS_SPOOL/d<id>-001).
    QString document;
};

// Every job the scheduler knows, in the order of their ids.
QList<Job> all();
// The jobs with an id above afterId.
QList<Job> since(int afterId);
// The highest job id so far, 0 before the first job.
int lastId();
// The jobs above afterId once there are count of them, or what there is
// after timeoutMs; keeps the caller's event loop running meanwhile. The
// bound is generous: it only runs out when a test fails, and under the
// sanitizers with both suites side by side a service's first receipt (its
// first printer listing, the logo wait, the roll printer's cut) has taken
// over 10 s.
QList<Job> waitFor(int afterId, int count, int timeoutMs = 30000);

// Text of a PDF document, as pdftotext extracts it.
QString text(const QString &document);
// Size of the first page in points.
QSizeF pageSizePt(const QString &document);
// Number of images drawn in the document.
int imageCount(const QString &document);
// Left edge of the leftmost word of the first page, in points.
qreal textLeftPt(const QString &document);

} // namespace PrintedJobs
