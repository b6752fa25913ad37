#include "updater/MainWindow.h"

#include "common/Clock.h"

MainWindow::MainWindow(int &argc, char **argv)
    : QGuiApplication(argc, argv)
{
    const QString updaterFolder = applicationDirPath();
    m_log.setLogDirectory(updaterFolder);
    m_log.start();

    m_run = std::make_unique<UpdateRun>(runSettings(updaterFolder), Clock::system(), m_log);
    connect(m_run.get(), &UpdateRun::downloadProgress, this, &MainWindow::updateProgressBar);
    connect(m_run.get(), &UpdateRun::showProgress, this, &MainWindow::showProgressbarChanged);
    // Queued: a run may end before the event loop runs.
    connect(m_run.get(), &UpdateRun::finished, this, &QCoreApplication::quit, Qt::QueuedConnection);
    // Closing the window ends the program: the run takes its last step, so a
    // service that ended for it is started again.
    connect(this, &QCoreApplication::aboutToQuit, this,
            [this] { m_run->abandon(QStringLiteral("the updater was closed")); });
    m_run->start();
}

MainWindow::~MainWindow() = default;

UpdateRun::Settings MainWindow::runSettings(const QString &updaterFolder)
{
    UpdateRun::Settings settings;
    settings.updaterFolder = updaterFolder;
    return settings;
}

void MainWindow::setProgress(qint64 progress)
{
    if (progress == m_progress)
        return;
    m_progress = progress;
    emit progressChanged();
}

void MainWindow::updateProgressBar(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal <= 0)
        return; // size unreported
    setProgress(bytesReceived * 100 / bytesTotal);
}
