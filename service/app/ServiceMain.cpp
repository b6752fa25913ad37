#include "service/app/ServiceMain.h"

#include "common/CoordinationProtocol.h"
#include "common/QmlWindow.h"
#include "common/SingleInstance.h"
#include "platform/TerminationSignals.h"
#include "service/log/LogFacility.h"
#include "service/app/MainApp.h"

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

} // namespace

int korvelMain(int argc, char **argv)
{
    if (isQuitRequest(argc, argv)) {
        CoordinationProtocol::sendQuitToService();
        return 0;
    }

    initKorvelResources();
    QmlWindow::useSoftwareRendering();
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

    auto engine = QmlWindow::load(app.get());
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, app.get(), &QCoreApplication::quit);
    const int status = engine->rootObjects().isEmpty() ? -1 : app->exec();

    engine.reset();
    instance.reset();
    app.reset();
    stopLogWriters();
    return status;
}
