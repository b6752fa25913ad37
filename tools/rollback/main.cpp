#include "common/QmlWindow.h"
#include "common/SingleInstance.h"
#include "tools/rollback/MainWindow.h"
#include "tools/rollback/RollbackWindow.h"

#include <QQmlApplicationEngine>

// The whole run of the rollback tool: single-instance test, window, event
// loop; the window's pass ends the program.
int main(int argc, char **argv)
{
    SingleInstance instance(QStringLiteral("QXFallback"), QStringLiteral("QXFallbackObject"));
    if (!instance.acquire())
        return 0;
    QmlWindow::useSoftwareRendering();
    MainWindow app(argc, argv);
    const auto engine = loadRollbackWindow(app);
    if (engine->rootObjects().isEmpty())
        return -1;
    return app.exec();
}
