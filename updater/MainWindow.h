#pragma once

#include "updater/NewFileInstaller.h"
#include "updater/UpdateLog.h"

#include <QFile>
#include <QGuiApplication>
#include <QJsonObject>
#include <QTimer>

#include <memory>

class CUdpThread;
class QNetworkAccessManager;
class QNetworkReply;

// The updater's application object and the QML window's "mainwindow". One
// run: read Update.conf, ask the update server, fetch a newer package (at
// once when silent, else after the service agreed and ended), test its
// checksum, record the new version, unpack it, have the service closed when
// its own files are replaced, install, start the service again and end.
// Every run ends within 480 s.
class MainWindow : public QGuiApplication
{
    Q_OBJECT
    Q_PROPERTY(qint64 progress READ progress WRITE setProgress NOTIFY progressChanged)

public:
    static constexpr int WatchdogMs = 480000;
    static constexpr int CloseRequestDelayMs = 1000;
    // The first attempt and six retries.
    static constexpr int DownloadRetries = 6;
    static constexpr quint32 MinimumStartDelayMs = 200;
    // A check answer is a few hundred bytes.
    static constexpr qint64 CheckAnswerLimit = 1 << 20;
    static constexpr qint64 PackageBufferBytes = 4 << 20;

    MainWindow(int &argc, char **argv);
    ~MainWindow() override;

    void checkForUpdate();
    void startDownload();
    // The one regular end of a run. The service is started at most once per
    // run, however often this is called.
    void finishUpdate(bool restartService);
    void unpackPackage();
    void onServiceClosed();

    // Update.conf of folder, or its fallback when Update.conf has no text;
    // an empty object when nothing could be read.
    QJsonObject readUpdateConfig(const QString &folder) const;
    bool writeUpdateConfig(const QString &folder, const QJsonObject &object) const;

    qint64 progress() const { return m_progress; }
    void setProgress(qint64 progress);

    // The wait between the service's "CloseApp" answer and the installation.
    static quint32 startDelayMs(quint32 startTime);

signals:
    void progressChanged();
    void showProgressbarChanged(bool isOpen);

private slots:
    void onReplyFinished(QNetworkReply *reply);
    void onDownloadFinished(QNetworkReply *reply);
    void updateProgressBar(qint64 bytesReceived, qint64 bytesTotal);
    void onCloseUpdateChanged(bool bSuccess);

private:
    QString packagePath() const;
    void onUpdateAgreed();
    void savePackageData();
    bool closePackageFile();
    void acceptPackage();
    void scheduleCloseRequest();
    void installAndRestart();
    void addLogEntry(const QString &text);

    std::unique_ptr<CUdpThread> m_listener;
    QString m_configFolder;
    NewFileInstaller m_installer;
    QNetworkAccessManager *m_checkManager = nullptr;
    QNetworkAccessManager *m_downloadManager = nullptr;
    QNetworkReply *m_currentReply = nullptr;

    // From Update.conf.
    quint32 m_version = 0;
    quint32 m_startTime = 0;
    quint32 m_silent = 1;
    QString m_name;
    QString m_device;
    QString m_updateTime;
    QString m_url;

    // From the check answer.
    quint32 m_offeredVersion = 0;
    quint32 m_hash = 0;
    QString m_packageName;
    QString m_comment;
    QString m_answerDevice;
    QString m_packageUrl;

    qint64 m_progress = 0;
    QString m_updaterFolder;
    QString m_serviceFolder;
    CBackupFiles m_log;

    int m_retries = 0;
    bool m_restartAllowed = true;
    // The service answers every copy of a request, so agreement can arrive
    // up to four times; only the first starts the run's download.
    bool m_packageRequested = false;
    bool m_closeRequested = false;
    bool m_installScheduled = false;

    // The package goes to disk as it arrives rather than whole into memory.
    QFile m_packageFile;
    bool m_packageWritable = false;

    QTimer m_watchdog;
    QTimer m_installTimer;
};
