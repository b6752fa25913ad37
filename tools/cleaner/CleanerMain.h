#pragma once

#include <QStringList>

#include <memory>

class KorvelCleaner;
class QQmlApplicationEngine;

// The cleaner runs without a window when its first argument is exactly
// "-repairPrinter" (letter case included).
bool isRepairMode(const QStringList &arguments);

// The whole run of the cleaner, with a window or in repair mode.
int selvaneMain(int argc, char **argv);

// Loads the window ("qrc:/main.qml") with the cleaner as "cleaner"; call
// QmlWindow::useSoftwareRendering() before the application object exists.
std::unique_ptr<QQmlApplicationEngine> loadCleanerWindow(KorvelCleaner &cleaner);
