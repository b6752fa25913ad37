#pragma once

#include <memory>

class QObject;
class QQmlApplicationEngine;

// Loads the rollback window with the application object as "mainwindow";
// call QmlWindow::useSoftwareRendering() before the application object exists.
std::unique_ptr<QQmlApplicationEngine> loadRollbackWindow(QObject &app);
