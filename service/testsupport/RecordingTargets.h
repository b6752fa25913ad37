#pragma once

#include "common/PrinterJson.h"
#include "service/http/CommandDispatcher.h"
#include "service/printing/FileLoader.h"
#include "service/printing/LogoFiles.h"
#include "service/printing/PrintJobs.h"
#include "service/printing/PrintRecord.h"
#include "service/printing/PrinterDirectory.h"
#include "service/stb/SetTopBoxLink.h"
#include "service/update/UpdaterLauncher.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <utility>

// A command dispatcher whose every hand-off goes to a recorder, with a real
// JSON store in the given folder. An EmpowerCode whose "data" has "wait":
// true is answered later, as by a slow set-top box: from the event loop,
// after the test's whileWaiting has run.
class RecordingTargets : public PrintJobs,
                         public LogoFiles,
                         public SetTopBoxLink,
                         public UpdaterLauncher,
                         public PrinterDirectory
{
public:
    explicit RecordingTargets(const QString &folder)
        : store(folder), dispatcher({*this, *this, store, *this, *this, *this}), m_folder(folder)
    {
    }

    QList<PrintRecord> jobs;
    QStringList configuredPrinters;
    QStringList handOffs; // one line per set-top-box message, subtitle, relay or updater start
    std::function<void()> whileWaiting;
    bool queueFull = false;
    bool subtitleSaves = true; // whether subtitle.conf takes the cashier's changes
    QStringList installed{QStringLiteral("kitchen80"), QStringLiteral("receipt58")};
    QJsonArray printers;
    CPrinterJson store;
    CommandDispatcher dispatcher;

    bool addJob(PrintRecord &job) override
    {
        if (queueFull)
            return false;
        job.active = 1;
        jobs.append(job);
        return true;
    }
    void setPrinterConfig(const PrintRecord &record) override { configuredPrinters.append(record.name); }
    QString localLogoPath(const QString &url) override
    {
        return m_folder + QStringLiteral("/image/") + FileLoader::fileNameFor(url);
    }
    QStringList installedPrinterNames() const override { return installed; }
    QJsonArray printerList() const override { return printers; }
    void sendStbMsg(const int &type, const QString &content, unsigned times, const QString &ip) override
    {
        handOffs.append(QStringLiteral("stb %1|%2|%3|%4").arg(type).arg(content).arg(times).arg(ip));
    }
    QString getStbInfo() override { return QStringLiteral(R"({"code":180,"data":[]})"); }
    void handleSubtitle(const QJsonValue &data, const bool &fromNetwork) override
    {
        handOffs.append(QStringLiteral("subtitle%1 ").arg(fromNetwork ? QStringLiteral(" from network") : QString())
                        + QString::fromUtf8(QJsonDocument(data.toObject()).toJson(QJsonDocument::Compact)));
    }
    void pushSubtitle(const QJsonValue &data, const SubtitleSaved &saved) override
    {
        handleSubtitle(data, false);
        saved(subtitleSaves);
    }
    void checkAuthCode(unsigned unAccount, const QJsonValue &data, const AuthCodeAnswer &answer) override
    {
        handOffs.append(QStringLiteral("relay %1").arg(unAccount));
        const QString text = QStringLiteral("{\"relay\":%1}").arg(unAccount);
        if (!data.toObject().value(QLatin1String("wait")).toBool()) {
            answer(text);
            return;
        }
        QTimer::singleShot(0, [this, answer, text] {
            const std::function<void()> task = std::exchange(whileWaiting, nullptr);
            if (task)
                task();
            answer(text);
        });
    }

    // The answer to one request body, for commands answered at once.
    // Each request in a turn of the event loop of its own, as a client's
    // that waits for every answer.
    QString answerTo(const QByteArray &body)
    {
        dispatcher.eventLoopWoke();
        QString answer;
        dispatcher.dispatchCommand(body, [&answer](const QString &text) { answer = text; });
        return answer;
    }
    void startUpdater() override { handOffs.append(QStringLiteral("updater")); }

private:
    QString m_folder;
};
