#pragma once

#include <QObject>

#include <memory>

class QQmlApplicationEngine;

// The small, static windows of the suite's programs: "qrc:/qml/main.qml"
// with the program's object as context property "mainwindow".
class QmlWindow
{
public:
    // Call in main before the application object exists. The windows draw
    // with Qt Quick's software scene graph and the xcb platform loads no GL
    // integration, so no OpenGL stack is loaded: it would cost far more
    // memory and threads than such a window is worth, and some cashier
    // machines have no working OpenGL driver.
    static void useSoftwareRendering();

    // Loads the window; Qt.quit() in it ends the event loop and nothing
    // else listens. The engine's root objects are empty when loading failed.
    static std::unique_ptr<QQmlApplicationEngine> load(QObject *mainwindow);
};
