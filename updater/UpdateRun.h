#pragma once

#include "common/UpdateConfig.h"
#include "updater/StagedPackage.h"

#include <QFile>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class CBackupFiles;
class CUdpThread;
class Clock;
class QNetworkAccessManager;
class QNetworkReply;

// One run of the updater, as a state machine:
//   checking -> downloading -> verifying -> unpacking -> closing the service
//   -> waiting to install -> installing -> ended.
// The service is asked to end only for a package that is downloaded,
// verified and unpacked into the staging folder; up to then a failure leaves
// it running and untouched. Every failure goes through one path that writes
// the reason to the update log and to standard error and ends the run; a run
// that asked the service to end starts this installation's service again,
// once, unless it already runs. A pending update left by a killed run is
// installed at the next start without another download.
class UpdateRun : public QObject
{
    Q_OBJECT

public:
    enum class State { Idle, Checking, Downloading, Verifying, Unpacking, ClosingService, WaitingToInstall, Installing, Ended };
    Q_ENUM(State)

    struct Settings
    {
        QString updaterFolder;
        // A package larger than this is no release of ours.
        qint64 maxPackageBytes = qint64(1) << 30;
        // The download stops before the disk's free space falls below this.
        qint64 freeSpaceMarginBytes = qint64(64) << 20;
        int watchdogMs = 480000;
        // Between a ready package and the request to the service.
        int closeRequestDelayMs = 1000;
        // How long the service has to answer before we look whether it runs.
        int answerWaitMs = 5000;
        // How long an answering service has to end before the installation
        // is left to the next run.
        int serviceExitWaitMs = 10000;
    };
    // The first attempt and six retries.
    static constexpr int DownloadRetries = 6;
    // A check answer is a few hundred bytes.
    static constexpr qint64 CheckAnswerLimit = 1 << 20;
    static constexpr qint64 PackageBufferBytes = 4 << 20;

    UpdateRun(const Settings &settings, const Clock &clock, CBackupFiles &log, QObject *parent = nullptr);
    ~UpdateRun() override;

    void start();
    // Ends the run from outside (the program is closing): the same last step
    // as any failure.
    void abandon(const QString &reason);

    State state() const { return m_state; }
    QString serviceProgramPath() const;
    QString packagePath() const;

    // Update.conf of folder, or its fallback when Update.conf has no text;
    // an empty object when nothing could be read.
    static QJsonObject readUpdateConfig(const QString &folder);

signals:
    void stateChanged(UpdateRun::State state);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void showProgress(bool shown);
    // installed: the new version is in place.
    void finished(bool installed);

private:
    void setState(State state);
    void check();
    void onCheckFinished(QNetworkReply *reply);
    void download();
    void savePackageData();
    bool withinBounds(qint64 incoming);
    void onDownloadFinished(QNetworkReply *reply);
    void removePackage();
    void verify();
    bool verifySignature(QString *error) const;
    void unpack();
    void onUnpacked(bool success);
    void closeService();
    void sendCloseRequest();
    void onServiceAnswered();
    void onAnswerWaitOver();
    void waitForServiceExit();
    void install();
    bool recordVersion(quint32 version);
    void fail(const QString &reason);
    void end(bool installed);
    void startServiceOnce();
    void log(const QString &text);
    void showProgressWindow(bool shown);
    void after(int ms, std::function<void()> step);

    const Settings m_settings;
    const Clock &m_clock;
    CBackupFiles &m_log;
    const QString m_serviceFolder;
    StagedPackage m_staged;
    std::unique_ptr<CUdpThread> m_listener;
    QNetworkAccessManager *m_network = nullptr;
    QNetworkReply *m_reply = nullptr;

    State m_state = State::Idle;
    UpdateConfig m_config;

    // From the check answer.
    quint32 m_offeredVersion = 0;
    quint32 m_hash = 0;
    QString m_packageName;
    QString m_packageUrl;
    QByteArray m_signature;

    int m_retries = 0;
    QFile m_packageFile;
    qint64 m_packageBytes = 0;
    qint64 m_bytesAtLastSpaceLook = 0;
    QString m_boundExceeded;

    bool m_progressShown = false;
    bool m_serviceAsked = false;
    bool m_serviceStarted = false;
    qint64 m_exitWaitStartMs = 0;

    QTimer m_watchdog;
    QTimer m_stepTimer;
    std::function<void()> m_nextStep;
};
