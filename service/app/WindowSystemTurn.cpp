#include "service/app/WindowSystemTurn.h"

#include <QCoreApplication>
#include <QPointer>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformintegration.h>

EventDispatcher::TurnHook WindowSystemTurn::create(QObject *owner)
{
    QPlatformIntegration *integration = QGuiApplicationPrivate::platformIntegration();
    if (!integration)
        return {};
    // Made after ours is the thread's loop, so Qt never installs it: it is
    // only ever run from ours.
    QPointer<QAbstractEventDispatcher> loop = integration->createEventDispatcher();
    if (!loop)
        return {};
    loop->setParent(owner);
    return [loop](QEventLoop::ProcessEventsFlags flags) {
        // The plugin is taken down with the application; nothing of it runs after.
        if (!loop || QCoreApplication::closingDown())
            return false;
        return loop->processEvents(flags);
    };
}
