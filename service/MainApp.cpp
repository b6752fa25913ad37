#include "MainApp.h"

#include "BackupFiles.h"
#include "InformationServices.h"
#include "PrinterJson.h"

#include <QNetworkAccessManager>
#include <QNetworkInterface>

CMainApp::CMainApp(int &argc, char **argv) : QApplication(argc, argv)
{
    m_printerJson = new CPrinterJson(applicationDirPath());
    // Binds its UDP port and loads subtitle.conf through the JSON store.
    m_informationServices = new CInformationServices(nullptr);
    m_networkManager = new QNetworkAccessManager(this);
    findLocalAddress();
}

CMainApp::~CMainApp()
{
    delete m_informationServices;
    m_informationServices = nullptr;
    delete m_printerJson;
    m_printerJson = nullptr;
}

void CMainApp::setPrintQuantity(int quantity)
{
    if (m_printQuantity.exchange(quantity) != quantity)
        emit printQuantityChanged();
}

QJsonObject CMainApp::readJsonFile(const QString &path) const
{
    return m_printerJson->readJson(path);
}

bool CMainApp::writeJsonFile(const QJsonObject &object, const QString &path) const
{
    return m_printerJson->writeJson(object, path);
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
