#include "tools/rollback/RollbackMain.h"

#include "common/QmlWindow.h"
#include "common/SingleInstance.h"
#include "tools/rollback/MainWindow.h"

#include <QQmlApplicationEngine>

std::unique_ptr<QQmlApplicationEngine> loadRollbackWindow(MainWindow &app)
{
    Q_INIT_RESOURCE(rollback);
    return QmlWindow::load(&app);
}

int tamrowMain(int argc, char **argv)
{
    QmlWindow::useSoftwareRendering();
    MainWindow app(argc, argv);
    SingleInstance instance(QStringLiteral("QXFallback"), QStringLiteral("QXFallbackObject"));
    if (!instance.acquire())
        return 0;
    const auto engine = loadRollbackWindow(app);
    if (engine->rootObjects().isEmpty())
        return -1;
    return app.exec();
}
