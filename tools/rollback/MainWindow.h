#pragma once

#include "tools/rollback/FileRollback.h"

#include <QGuiApplication>
#include <QString>

// The rollback tool's application object, and the window's "mainwindow".
class MainWindow : public QGuiApplication
{
    Q_OBJECT

public:
    MainWindow(int &argc, char **argv);

    // Rolls the last installation back from the tool's own folder, then
    // tells the window, which ends the program.
    Q_INVOKABLE void startFallback();

signals:
    void replaceSuccessChanged();

private:
    FileRollback m_rollback;
    QString m_ownFolder;
};
