#pragma once

#include "platform/RunKey.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

class FolderHandle;
class QUdpSocket;

// Removes the installation-free package of the print service: finds it
// through the service's Run value, removes that value (and the desktop's
// autostart entry for the same program), asks running programs of the
// package to close, ends those that stay and deletes the service folder.
// The folder is opened once and checked to hold the package; everything is
// deleted through that handle, so nothing else is ever touched. The result
// arrives as cleanupFinished(); removed() and failureReason() tell more.
class KorvelCleaner : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString baseDir READ baseDir CONSTANT)

public:
    explicit KorvelCleaner(QObject *parent = nullptr);
    ~KorvelCleaner() override;

    // The service folder; empty until a cleanup has found it.
    QString baseDir() const { return m_baseDir; }

    // The service's Run value, empty when there is none.
    QString readRunEntry() const;
    void removePackageFiles(const QString &servicePath);
    // "CloseApp" twice to the program listening on 127.0.0.1:port.
    void sendCloseApp(quint16 port);
    void killProcesses(const QStringList &paths);
    bool removeBaseDir();

    // What the last cleanup removed (Run value, autostart entry, folder).
    QStringList removed() const { return m_removed; }
    // Why the last cleanup failed; empty after a success.
    QString failureReason() const { return m_failure; }

public slots:
    void startCleanup();
    void showInFolder();

signals:
    void cleaningChanged();
    void statusChanged();
    void cleanupFinished(bool success);

private slots:
    void onKillFinished(int exitCode, QProcess::ExitStatus exitStatus);

private:
    QString updaterPath() const;
    QString rollbackPath() const;
    QStringList packagePrograms() const;
    bool removeAutostartEntry(const QString &servicePath) const;
    void removeAfterWait();
    void reportKill(QProcess *process, int exitCode, QProcess::ExitStatus exitStatus);
    void finish(bool success);
    void fail(const QString &reason);
    bool holdsPackage() const;
    void forgetRunValue(const QString &runValue, const QString &servicePath);

    QUdpSocket *m_socket;
    RunKey m_runKey;
    QString m_baseDir;
    QString m_servicePath;
    bool m_running = false;
    std::unique_ptr<FolderHandle> m_folder;
    QStringList m_removed;
    QString m_failure;
};
