#include "tools/rollback/RollbackMain.h"

#include "tools/rollback/MainWindow.h"
#include "common/SingleInstance.h"

#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>

std::unique_ptr<QQmlApplicationEngine> loadRollbackWindow(MainWindow &app)
{
    Q_INIT_RESOURCE(rollback);
    QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
    auto engine = std::make_unique<QQmlApplicationEngine>();
    engine->rootContext()->setContextProperty(QStringLiteral("mainwindow"), &app);
    QObject::connect(engine.get(), &QQmlEngine::quit, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    engine->load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    return engine;
}

int tamrowMain(int argc, char **argv)
{
    MainWindow app(argc, argv);
    SingleInstance instance(QStringLiteral("QXFallback"), QStringLiteral("QXFallbackObject"));
    if (!instance.acquire())
        return 0;
    const auto engine = loadRollbackWindow(app);
    if (engine->rootObjects().isEmpty())
        return -1;
    return app.exec();
}
