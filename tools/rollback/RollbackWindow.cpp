#include "tools/rollback/RollbackWindow.h"

#include "common/QmlWindow.h"

#include <QQmlApplicationEngine>

std::unique_ptr<QQmlApplicationEngine> loadRollbackWindow(QObject &app)
{
    Q_INIT_RESOURCE(rollback);
    return QmlWindow::load(&app);
}
