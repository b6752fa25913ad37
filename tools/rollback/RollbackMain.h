#pragma once

#include <memory>

class MainWindow;
class QQmlApplicationEngine;

// The whole run of the rollback tool: single-instance test, window, event
// loop.
int tamrowMain(int argc, char **argv);

// Loads the window with the application object as "mainwindow"; call
// QmlWindow::useSoftwareRendering() before the application object exists.
std::unique_ptr<QQmlApplicationEngine> loadRollbackWindow(MainWindow &app);
