#include "common/QmlWindow.h"

#include <QCoreApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>

void QmlWindow::useSoftwareRendering()
{
    // Read when the platform plugin and the scene graph start; an explicit
    // choice made by whoever starts the program wins.
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
}

std::unique_ptr<QQmlApplicationEngine> QmlWindow::load(QObject *mainwindow)
{
    auto engine = std::make_unique<QQmlApplicationEngine>();
    engine->rootContext()->setContextProperty(QStringLiteral("mainwindow"), mainwindow);
    engine->load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    QObject::disconnect(engine.get(), &QQmlEngine::quit, nullptr, nullptr);
    QObject::connect(engine.get(), &QQmlEngine::quit, engine.get(), [] { QCoreApplication::quit(); },
                     Qt::DirectConnection);
    return engine;
}
