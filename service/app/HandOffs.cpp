// Where the dispatcher hands work to printing, the set-top-box service and
// the update coordinator (see the list in MainApp.h). Every object named here
// lives from the constructor to the destructor, so no call finds it missing.

#include "service/app/MainApp.h"

#include "service/printing/FileLoader.h"
#include "service/printing/PrinterQueue.h"
#include "service/printing/PrinterSettings.h"
#include "service/printing/PrintRecord.h"
#include "service/stb/InformationServices.h"
#include "service/update/AutoUpdate.h"

bool CMainApp::enqueuePrintJob(PrintRecord &job)
{
    return m_printerQueue->addJob(job);
}

void CMainApp::applyPrinterSettings(const QJsonArray &settings)
{
    const QVector<PrintRecord> records = PrinterSettings::parse(settings);
    for (const PrintRecord &record : records)
        m_printerQueue->setPrinterConfig(record);
}

// The logo's local copy; its download starts when it is not on disk yet.
QString CMainApp::logoLocalPath(const QString &url)
{
    return m_fileLoader->logoPath(m_fileLoader->requestLogo(url));
}

void CMainApp::sendSetTopBoxMessage(int type, const QString &content, unsigned times, const QString &ip)
{
    m_informationServices->sendStbMsg(type, content, times, ip);
}

QString CMainApp::setTopBoxList()
{
    return m_informationServices->getStbInfo();
}

void CMainApp::applySubtitleCommand(const QJsonValue &data)
{
    m_informationServices->handleSubtitle(data, false);
}

// May wait in a nested event loop for the box's answer (bounded there).
QString CMainApp::relayAuthCode(unsigned unAccount, const QJsonValue &data)
{
    return m_informationServices->checkAuthCode(unAccount, data);
}

void CMainApp::startUpdater()
{
    m_autoUpdate->startUpdater();
}
