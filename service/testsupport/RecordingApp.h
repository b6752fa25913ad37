#pragma once

#include "service/app/MainApp.h"
#include "service/printing/PrintRecord.h"
#include "tests/support/PrivateAppFolder.h"
#include "tests/support/TestSupport.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <QTest>
#include <QTimer>

#include <functional>
#include <utility>

// The application object with the far side of every hand-off replaced by a
// recorder. An EmpowerCode whose "data" has "wait": true waits in a nested
// event loop, as for a slow set-top box, while the test's whileWaiting runs
// inside that loop; the command returns when it is done.
class RecordingApp : public CMainApp
{
public:
    using CMainApp::CMainApp;

    QList<PrintRecord> jobs;
    QList<QJsonArray> settings;
    QStringList handOffs; // one line per set-top-box message, subtitle or updater start
    std::function<void()> whileWaiting;

    void clearRecords()
    {
        jobs.clear();
        settings.clear();
        handOffs.clear();
    }

private:
    bool enqueuePrintJob(PrintRecord &job) override
    {
        job.active = 1;
        jobs.append(job);
        return true;
    }
    void applyPrinterSettings(const QJsonArray &array) override { settings.append(array); }
    void sendSetTopBoxMessage(int type, const QString &content, unsigned times, const QString &ip) override
    {
        handOffs.append(QStringLiteral("stb %1|%2|%3|%4").arg(type).arg(content).arg(times).arg(ip));
    }
    void applySubtitleCommand(const QJsonValue &data) override
    {
        handOffs.append(QStringLiteral("subtitle ")
                        + QString::fromUtf8(QJsonDocument(data.toObject()).toJson(QJsonDocument::Compact)));
    }
    QString relayAuthCode(unsigned unAccount, const QJsonValue &data) override
    {
        handOffs.append(QStringLiteral("relay %1").arg(unAccount));
        if (data.toObject().value(QLatin1String("wait")).toBool()) {
            QEventLoop loop;
            QTimer::singleShot(0, &loop, [this, &loop] {
                const std::function<void()> task = std::exchange(whileWaiting, nullptr);
                if (task)
                    task();
                loop.quit();
            });
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        }
        return QStringLiteral("{\"relay\":%1}").arg(unAccount);
    }
    void startUpdater() override { handOffs.append(QStringLiteral("updater")); }
};

// Runs Test against a RecordingApp, from a private copy of the program. The
// application object listens on the service's port, so outside the harness
// the test gets no application object (nullptr) and skips itself.
template <typename Test>
int runWithRecordingApp(int argc, char **argv)
{
    if (!TestSupport::inHarness()) {
        QCoreApplication app(argc, argv);
        Test test(nullptr);
        return QTest::qExec(&test, argc, argv);
    }
    int status = 0;
    if (PrivateAppFolder::rerunFromCopy(argv, &status))
        return status;
    RecordingApp app(argc, argv);
    Test test(&app);
    return QTest::qExec(&test, argc, argv);
}
