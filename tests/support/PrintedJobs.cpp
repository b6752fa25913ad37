#include "tests/support/PrintedJobs.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <limits>

namespace PrintedJobs {

namespace {

QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(30000))
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString documentPath(int id)
{
    return QStringLiteral("%1/d%2-001").arg(qEnvironmentVariable("KORVEL_CUPS_SPOOL")).arg(id, 5, 10, QLatin1Char('0'));
}

// which: "all" or "completed" (see lpstat -W).
QList<Job> listJobs(const QString &which)
{
    // "kitchen80-12   root   1024   Mon 07 Dec ..." per job.
    static const QRegularExpression line(QStringLiteral("^(\\S+)-(\\d+)\\s"), QRegularExpression::MultilineOption);
    QList<Job> jobs;
    const QString listing = run(QStringLiteral("lpstat"), {QStringLiteral("-W"), which, QStringLiteral("-o")});
    auto match = line.globalMatch(listing);
    while (match.hasNext()) {
        const auto found = match.next();
        Job job;
        job.queue = found.captured(1);
        job.id = found.captured(2).toInt();
        job.document = documentPath(job.id);
        jobs.append(job);
    }
    std::sort(jobs.begin(), jobs.end(), [](const Job &a, const Job &b) { return a.id < b.id; });
    return jobs;
}

QList<Job> after(QList<Job> jobs, int afterId)
{
    jobs.erase(std::remove_if(jobs.begin(), jobs.end(), [afterId](const Job &job) { return job.id <= afterId; }),
               jobs.end());
    return jobs;
}

} // namespace

QList<Job> all()
{
    return listJobs(QStringLiteral("all"));
}

QList<Job> since(int afterId)
{
    return after(all(), afterId);
}

int lastId()
{
    const QList<Job> jobs = all();
    return jobs.isEmpty() ? 0 : jobs.last().id;
}

// A job is listed as soon as it is created, before its document has arrived
// whole; only a completed job's document can be read.
QList<Job> waitFor(int afterId, int count, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QList<Job> jobs = after(listJobs(QStringLiteral("completed")), afterId);
    while (jobs.size() < count && !deadline.hasExpired()) {
        QTest::qWait(50);
        jobs = after(listJobs(QStringLiteral("completed")), afterId);
    }
    return jobs;
}

QString text(const QString &document)
{
    return run(QStringLiteral("pdftotext"), {QStringLiteral("-enc"), QStringLiteral("UTF-8"), document, QStringLiteral("-")});
}

QSizeF pageSizePt(const QString &document)
{
    static const QRegularExpression size(QStringLiteral("Page size:\\s+([\\d.]+) x ([\\d.]+) pts"));
    const auto match = size.match(run(QStringLiteral("pdfinfo"), {document}));
    if (!match.hasMatch())
        return QSizeF();
    return QSizeF(match.captured(1).toDouble(), match.captured(2).toDouble());
}

int imageCount(const QString &document)
{
    // A header of two lines, then one line per image.
    const QStringList lines = run(QStringLiteral("pdfimages"), {QStringLiteral("-list"), document})
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return qMax(0, lines.size() - 2);
}

qreal textLeftPt(const QString &document)
{
    static const QRegularExpression word(QStringLiteral("<word xMin=\"([\\d.]+)\""));
    const QString boxes = run(QStringLiteral("pdftotext"),
                              {QStringLiteral("-bbox"), QStringLiteral("-f"), QStringLiteral("1"),
                               QStringLiteral("-l"), QStringLiteral("1"), document, QStringLiteral("-")});
    qreal left = std::numeric_limits<qreal>::quiet_NaN();
    auto match = word.globalMatch(boxes);
    while (match.hasNext()) {
        const qreal x = match.next().captured(1).toDouble();
        if (qIsNaN(left) || x < left)
            left = x;
    }
    return left;
}

} // namespace PrintedJobs
