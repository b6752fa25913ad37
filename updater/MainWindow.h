#pragma once

#include "updater/UpdateLog.h"
#include "updater/UpdateRun.h"

#include <QGuiApplication>

// The updater's application object and the QML window's "mainwindow": it
// holds the update log and the run, shows the run's download progress and
// ends the program when the run has ended.
class MainWindow : public QGuiApplication
{
    Q_OBJECT
    Q_PROPERTY(qint64 progress READ progress WRITE setProgress NOTIFY progressChanged)

public:
    MainWindow(int &argc, char **argv);
    ~MainWindow() override;

    qint64 progress() const { return m_progress; }
    void setProgress(qint64 progress);

    UpdateRun &run() { return *m_run; }

    // Settings of the program's run: the Updater folder is its own.
    static UpdateRun::Settings runSettings(const QString &updaterFolder);

signals:
    void progressChanged();
    void showProgressbarChanged(bool isOpen);

private slots:
    void updateProgressBar(qint64 bytesReceived, qint64 bytesTotal);

private:
    qint64 m_progress = 0;
    CBackupFiles m_log;
    std::unique_ptr<UpdateRun> m_run;
};
