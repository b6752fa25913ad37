#include "service/app/ServiceMain.h"

#include "common/CoordinationProtocol.h"
#include "common/QmlWindow.h"
#include "common/SingleInstance.h"
#include "platform/EventDispatcher.h"
#include "platform/TerminationSignals.h"
#include "service/log/LogFacility.h"
#include "service/app/MainApp.h"
#include "service/app/WindowSystemTurn.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QQmlApplicationEngine>
#include <QSslSocket>

#include <memory>

void initKorvelResources()
{
    Q_INIT_RESOURCE(korvel);
}

namespace {

bool isQuitRequest(int argc, char **argv)
{
    return argc > 1 && QString::fromLocal8Bit(argv[1]).contains(QLatin1String("quit"));
}

void startLogging(const CMainApp &app)
{
    initLogDirectory(app.applicationDirPath());
    startLogWriters();
}

// A lock that is not the user's own stops this start; it goes into the log
// too, so that whoever looks for why the service is missing finds it.
int reportUnsafeLock(int argc, char **argv, const QString &problem)
{
    QCoreApplication app(argc, argv);
    initLogDirectory(app.applicationDirPath());
    startLogWriters();
    WRITE_LOG(PrinterLog, problem);
    stopLogWriters();
    return 1;
}

} // namespace

EventDispatcher *installServiceEventLoop()
{
    auto loop = std::make_unique<EventDispatcher>();
    if (!loop->isValid())
        return nullptr;
    QCoreApplication::setEventDispatcher(loop.get());
    // Too late when the thread already has one; Qt owns it from here on.
    if (QAbstractEventDispatcher::instance() != loop.get())
        return nullptr;
    return loop.release();
}

void attachWindowSystem(EventDispatcher *loop, QObject *application)
{
    if (loop)
        loop->setTurnHook(WindowSystemTurn::create(application));
}

int korvelMain(int argc, char **argv)
{
    if (isQuitRequest(argc, argv)) {
        CoordinationProtocol::sendQuitToService();
        return 0;
    }

    // Before anything binds a port or writes a line: a second start must
    // leave no trace in the running service's log.
    auto instance = std::make_unique<SingleInstance>(QStringLiteral("QXPrinter"), QStringLiteral("QXPrinterObject"));
    if (!instance->acquire())
        return instance->problem().isEmpty() ? 0 : reportUnsafeLock(argc, argv, instance->problem());

    initKorvelResources();
    QmlWindow::useSoftwareRendering();
    // Qt's own poll loop rather than GLib's for the plugin's share of a turn
    // and for the other threads: a turn costs about two thirds as much.
    if (qEnvironmentVariableIsEmpty("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    // With one client the loop turns once per request, and sleeping in the
    // system's readiness call answers the next one sooner than poll() does.
    EventDispatcher *loop = installServiceEventLoop();
    auto app = std::make_unique<CMainApp>(argc, argv);
    attachWindowSystem(loop, app.get());
    startLogging(*app);
    WRITE_LOG(PrinterLog, QStringLiteral("SSL支持状态:%1").arg(QSslSocket::supportsSsl() ? 1 : 0));

    auto engine = QmlWindow::load(app.get());
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, app.get(), &QCoreApplication::quit);
    const int status = engine->rootObjects().isEmpty() ? -1 : app->exec();

    engine.reset();
    app.reset();
    stopLogWriters();
    instance.reset();
    return status;
}
