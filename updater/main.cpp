#include "common/QmlWindow.h"
#include "common/SingleInstance.h"
#include "updater/MainWindow.h"
#include "updater/UpdaterResources.h"

#include <QQmlApplicationEngine>

// The instance test comes before the application object: a second updater
// then neither binds the listener's port (where it could take answers meant
// for the first) nor touches the update log.
int main(int argc, char **argv)
{
    SingleInstance instance(QStringLiteral("QXUpdate"), QStringLiteral("QXUpdateObject"));
    if (!instance.acquire())
        return 0;

    QmlWindow::useSoftwareRendering();
    initUpdaterResources();
    MainWindow window(argc, argv);
    const std::unique_ptr<QQmlApplicationEngine> engine = QmlWindow::load(&window);
    if (engine->rootObjects().isEmpty())
        return -1;
    return window.exec();
}
