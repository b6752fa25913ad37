#include "service/app/MainApp.h"

#include "common/PrinterJson.h"
#include "platform/OpenFileLimit.h"
#include "platform/RunKey.h"
#include "service/app/AutoStart.h"
#include "service/log/LogFacility.h"
#include "service/http/CommandDispatcher.h"
#include "service/http/CommandServer.h"
#include "service/printing/FileLoader.h"
#include "service/printing/InstalledPrinters.h"
#include "service/printing/PrinterCache.h"
#include "service/printing/PrinterQueue.h"
#include "service/printing/PrinterSettings.h"
#include "service/stb/InformationServices.h"
#include "service/update/AutoUpdate.h"

#include <QAbstractEventDispatcher>
#include <QJsonArray>
#include <QNetworkInterface>

CMainApp::CMainApp(int &argc, char **argv) : QApplication(argc, argv)
{
    m_printerQueue = std::make_unique<CPrinterQueue>();
    // Told from the thread that changed the count, under the queue's lock;
    // storing it there keeps the last change the last stored.
    connect(m_printerQueue.get(), &CPrinterQueue::printQuantityChanged, this, &CMainApp::setPrintQuantity,
            Qt::DirectConnection);
    m_printerCache = std::make_unique<PrinterCache>();
    m_printerCache->start(QThread::IdlePriority);
    // Receipts wait in the queue while no printer is known, and the window says so.
    PrinterCache *printerCache = m_printerCache.get();
    m_printerQueue->setPrinterNames([printerCache] { return printerCache->printerNames(); });
    connect(m_printerQueue.get(), &CPrinterQueue::printerProblemChanged, this, &CMainApp::onPrinterProblemChanged);
    m_printerQueue->start(QThread::IdlePriority);
    // Every client connection takes a file; the default soft limit (1024 on
    // most systems) is far below what the system allows.
    const qint64 fileLimit = OpenFileLimit::raiseToHard();

    m_printerJson = std::make_unique<CPrinterJson>(applicationDirPath());
    // Starts the updater at once.
    m_autoUpdate = std::make_unique<CAutoUpdate>(this);
    // Binds its UDP port and loads subtitle.conf through the JSON store.
    CInformationServices::Context context;
    context.localAddress = [this] { return getAddressIP(); };
    context.broadcastAddress = [this] { return getBroadcast(); };
    context.readJsonFile = [this](const QString &path) { return readJsonFile(path); };
    context.writeJsonFile = [this](const QJsonObject &object, const QString &path) {
        return writeJsonFile(object, path);
    };
    m_informationServices = std::make_unique<CInformationServices>(context);
    m_fileLoader = std::make_unique<FileLoader>(applicationDirPath());
    m_installedPrinters = std::make_unique<CInstalledPrinters>(*m_printerCache);
    m_dispatcher = std::make_unique<CommandDispatcher>(CommandDispatcher::Targets{
        *m_printerQueue, *m_fileLoader, *m_printerJson, *m_informationServices, *m_autoUpdate, *m_installedPrinters});

    CommandDispatcher *dispatcher = m_dispatcher.get();
    m_commandServer = std::make_unique<CommandServer>(
        [dispatcher](const QByteArray &body, const CommandServer::Answer &answer) {
            dispatcher->dispatchCommand(body, answer);
        });
    // Tied to the server, which goes before the dispatcher.
    if (QAbstractEventDispatcher *loop = QAbstractEventDispatcher::instance())
        connect(loop, &QAbstractEventDispatcher::awake, m_commandServer.get(),
                [dispatcher] { dispatcher->eventLoopWoke(); });
    WRITE_LOG(PrinterLog, QStringLiteral("打开文件数上限:%1，http连接数上限:%2，每个地址:%3")
                              .arg(QString::number(fileLimit), QString::number(m_commandServer->maxConnections()),
                                   QString::number(m_commandServer->maxConnectionsPerPeer())));
    // A taken port is logged, shown in the window and tried again until it is ours.
    connect(m_commandServer.get(), &CommandServer::listeningChanged, this, &CMainApp::onCommandServerListening);
    m_commandServer->keepListening();

    findLocalAddress();
    loadPrinterConfig();
}

// The parts go in the reverse order of their declaration.
CMainApp::~CMainApp() = default;

void CMainApp::setPrintQuantity(int quantity)
{
    if (m_printQuantity.exchange(quantity) != quantity)
        emit printQuantityChanged();
}

void CMainApp::loadPrinterConfig()
{
    QJsonArray data;
    if (PrinterSettings::settingsData(readJsonFile(QLatin1String(PrinterSettings::ConfigFile)), &data))
        m_dispatcher->applyPrinterSettings(data);
}

void CMainApp::onCommandServerListening(bool listening)
{
    const QString problem = listening ? QString()
                                      : QStringLiteral("端口%1被占用，收银台暂时无法打印，正在重试……")
                                            .arg(QString::number(CommandServer::CommandPort));
    if (problem == m_commandPortProblem)
        return;
    m_commandPortProblem = problem;
    emit commandPortProblemChanged();
}

void CMainApp::onPrinterProblemChanged(const QString &problem)
{
    if (problem == m_printerProblem)
        return;
    m_printerProblem = problem;
    emit printerProblemChanged();
}

void CMainApp::setAutoStart(bool enable)
{
    RunKey runKey;
    CAutoStart::setAutoStart(runKey, applicationFilePath(), enable);
}

bool CMainApp::bAutoStart()
{
    return CAutoStart::isAutoStart(RunKey(), applicationFilePath());
}

bool CMainApp::setPowerBoot(bool bOpen)
{
    CAutoStart::setStartupShortcut(applicationFilePath(), bOpen);
    if (m_powerBoot != bOpen) {
        m_powerBoot = bOpen;
        emit isPowerBootChanged();
    }
    return true;
}

QJsonObject CMainApp::readJsonFile(const QString &path) const
{
    return m_printerJson->readJson(path);
}

bool CMainApp::writeJsonFile(const QJsonObject &object, const QString &path) const
{
    if (m_printerJson->writeJson(object, path))
        return true;
    WRITE_LOG(PrinterLog, QStringLiteral("打印机配置写失败,%1").arg(path));
    return false;
}

// The last IPv4 address with a broadcast address on an interface that is up
// and not loopback wins; every address seen is logged.
void CMainApp::findLocalAddress()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &netInterface : interfaces) {
        const auto flags = netInterface.flags();
        if (!flags.testFlag(QNetworkInterface::IsUp) || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : netInterface.addressEntries()) {
            const QHostAddress address = entry.ip();
            if (!address.isNull() && !address.isLoopback() && !entry.broadcast().isNull()
                && address.protocol() == QAbstractSocket::IPv4Protocol) {
                m_localAddress = address.toString();
                m_broadcastAddress = entry.broadcast().toString();
            }
            WRITE_LOG(PrinterLog, QStringLiteral("本机IP:%1").arg(address.toString()));
        }
    }
}
