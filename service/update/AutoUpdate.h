#pragma once

#include "common/LogThrottle.h"
#include "service/update/UpdaterFiles.h"
#include "service/update/UpdaterLauncher.h"

#include <QObject>
#include <QString>
#include <QTimer>

class QHostAddress;
class QUdpSocket;

// The service's side of updating: starts the updater, puts a waiting new
// updater in place once the running one has ended, and answers the
// updater's and the cleaner's loopback requests, ending the service when
// asked to.
class CAutoUpdate : public QObject, public UpdaterLauncher
{
    Q_OBJECT

public:
    static constexpr int WatchIntervalMs = 5000;

    // owner is the application object; the coordinator uses nothing of it.
    // serviceFolder defaults to the folder of the service's program file.
    explicit CAutoUpdate(QObject *owner, const QString &serviceFolder = QString());
    ~CAutoUpdate() override;

    // Starts the updater, if there is one, and watches for it to end.
    void startUpdater() override;

    bool isWatching() const { return m_watchTimer.isActive(); }
    QString storedCheck() const { return m_check; }
    const CUpdaterFiles &files() const { return m_files; }

signals:
    // Connected to the application's quit; the event loop ends.
    void quitRequested();

public slots:
    void onWatchTimer();

private slots:
    void onReadyRead();

private:
    void sendMessage(const QString &query);
    void reportStranger(const QHostAddress &sender);
    void reportOtherUser(const QString &sender);
    void reportPortTaken();

    QObject *m_owner;
    QUdpSocket *m_socket;
    QString m_check;
    QString m_serviceFolder;
    CUpdaterFiles m_files;
    QTimer m_watchTimer;
    LogThrottle m_strangerLog;
    LogThrottle m_otherUserLog;
};
