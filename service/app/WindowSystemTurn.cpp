#include "service/app/WindowSystemTurn.h"

#include <QCoreApplication>
#include <QPointer>
#include <QtGui/private/qguiapplication_p.h>
#include <qpa/qplatformintegration.h>

namespace {

QtMessageHandler g_previousHandler = nullptr;

// The plugin's loop is made while ours is already the thread's; Qt says so,
// and that is the one thing meant here.
void dropSecondDispatcherWarning(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.contains(QLatin1String("event dispatcher has already been created")))
        return;
    if (g_previousHandler)
        g_previousHandler(type, context, message);
    else
        qt_message_output(type, context, message);
}

QAbstractEventDispatcher *createPlatformLoop()
{
    QPlatformIntegration *integration = QGuiApplicationPrivate::platformIntegration();
    if (!integration)
        return nullptr;
    g_previousHandler = qInstallMessageHandler(dropSecondDispatcherWarning);
    QAbstractEventDispatcher *loop = integration->createEventDispatcher();
    qInstallMessageHandler(g_previousHandler);
    g_previousHandler = nullptr;
    return loop;
}

} // namespace

EventDispatcher::TurnHook WindowSystemTurn::create(QObject *owner)
{
    QPointer<QAbstractEventDispatcher> loop = createPlatformLoop();
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
