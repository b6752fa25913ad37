#include "ServiceMain.h"

#include "BackupFiles.h"
#include "CoordinationProtocol.h"
#include "MainApp.h"
#include "SingleInstance.h"
#include "TerminationSignals.h"

#include <QOpenGLContext>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
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

// Cashier machines without a working OpenGL driver still get a window: the
// scene graph falls back to software drawing.
void chooseSceneGraphBackend()
{
    QOpenGLContext context;
    if (!context.create())
        QQuickWindow::setSceneGraphBackend(QSGRendererInterface::Software);
}

} // namespace

std::unique_ptr<QQmlApplicationEngine> loadMainWindow(CMainApp &app)
{
    chooseSceneGraphBackend();
    auto engine = std::make_unique<QQmlApplicationEngine>();
    engine->rootContext()->setContextProperty(QStringLiteral("mainwindow"), &app);
    engine->load(QUrl(QStringLiteral("qrc:/qml/main.qml")));
    // Qt.quit() in the window ends the event loop, and nothing else listens.
    QObject::disconnect(engine.get(), &QQmlEngine::quit, nullptr, nullptr);
    QObject::connect(engine.get(), &QQmlEngine::quit, engine.get(), [] { QCoreApplication::quit(); },
                     Qt::DirectConnection);
    return engine;
}

int korvelMain(int argc, char **argv)
{
    if (isQuitRequest(argc, argv)) {
        CoordinationProtocol::sendQuitToService();
        return 0;
    }

    initKorvelResources();
    auto app = std::make_unique<CMainApp>(argc, argv);
    startLogging(*app);
    WRITE_LOG(PrinterLog, QStringLiteral("SSL支持状态:%1").arg(QSslSocket::supportsSsl() ? 1 : 0));

    auto instance = std::make_unique<SingleInstance>(QStringLiteral("QXPrinter"), QStringLiteral("QXPrinterObject"));
    if (!instance->acquire()) {
        instance.reset();
        app.reset();
        stopLogWriters();
        return 0;
    }

    auto engine = loadMainWindow(*app);
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, app.get(), &QCoreApplication::quit);
    const int status = engine->rootObjects().isEmpty() ? -1 : app->exec();

    engine.reset();
    instance.reset();
    app.reset();
    stopLogWriters();
    return status;
}
