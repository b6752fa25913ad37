#include "tools/cleaner/CleanerMain.h"

#include "common/QmlWindow.h"
#include "tools/cleaner/KorvelCleaner.h"

#include <QDebug>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QTimer>

std::unique_ptr<QQmlApplicationEngine> loadCleanerWindow(KorvelCleaner &cleaner)
{
    Q_INIT_RESOURCE(cleaner);
    auto engine = std::make_unique<QQmlApplicationEngine>();
    engine->rootContext()->setContextProperty(QStringLiteral("cleaner"), &cleaner);
    engine->load(QUrl(QStringLiteral("qrc:/main.qml")));
    return engine;
}

bool isRepairMode(const QStringList &arguments)
{
    return arguments.size() > 1 && arguments.at(1) == QLatin1String("-repairPrinter");
}

namespace {

int runRepair(QGuiApplication &app, KorvelCleaner &cleaner)
{
    QObject::connect(&cleaner, &KorvelCleaner::cleanupFinished, &app, [&cleaner](bool success) {
        qDebug().noquote() << QStringLiteral("清理") + (success ? QStringLiteral("成功") : QStringLiteral("失败"));
        // "Success" alone would not tell a removal from a run that found
        // nothing, nor say why a removal failed.
        if (!cleaner.failureReason().isEmpty())
            qDebug().noquote() << "reason:" << cleaner.failureReason();
        const QStringList removed = cleaner.removed();
        if (removed.isEmpty())
            qDebug().noquote() << "nothing to remove";
        for (const QString &item : removed)
            qDebug().noquote() << "removed:" << item;
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    });
    cleaner.startCleanup();
    app.exec();
    // The result is in the output; the exit code is the same either way.
    return 0;
}

} // namespace

int selvaneMain(int argc, char **argv)
{
    QmlWindow::useSoftwareRendering();
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QGuiApplication app(argc, argv);
    KorvelCleaner cleaner;
    if (isRepairMode(app.arguments()))
        return runRepair(app, cleaner);

    const auto engine = loadCleanerWindow(cleaner);
    if (engine->rootObjects().isEmpty())
        return -1;
    return app.exec();
}
