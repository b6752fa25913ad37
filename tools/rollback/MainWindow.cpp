#include "tools/rollback/MainWindow.h"

MainWindow::MainWindow(int &argc, char **argv)
    : QGuiApplication(argc, argv), m_ownFolder(applicationDirPath())
{
}

void MainWindow::startFallback()
{
    m_rollback.rollBackFiles(m_ownFolder);
    emit replaceSuccessChanged();
}
