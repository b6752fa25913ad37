// Where the dispatcher hands work to printing, the set-top-box service and
// the update coordinator (see the list in MainApp.h). Until those objects
// exist, each hand-off does the least that keeps the commands' answers right.

#include "MainApp.h"

#include "AutoUpdate.h"
#include "InformationServices.h"
#include "PrintRecord.h"

#include <QCryptographicHash>

void CMainApp::enqueuePrintJob(PrintRecord &job)
{
    job.active = 1;
}

void CMainApp::applyPrinterSettings(const QJsonArray &settings)
{
    Q_UNUSED(settings)
}

// The logo's local copy: named after the MD5 of its address, in the image
// folder beside the program.
QString CMainApp::logoLocalPath(const QString &url)
{
    const QByteArray digest = QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Md5).toHex();
    return applicationDirPath() + QStringLiteral("/image/") + QString::fromLatin1(digest) + QStringLiteral(".png");
}

void CMainApp::sendSetTopBoxMessage(int type, const QString &content, unsigned times, const QString &ip)
{
    if (m_informationServices)
        m_informationServices->sendStbMsg(type, content, times, ip);
}

QString CMainApp::setTopBoxList()
{
    if (!m_informationServices)
        return QStringLiteral("{\"code\":180,\"data\":[]}");
    return m_informationServices->getStbInfo();
}

void CMainApp::applySubtitleCommand(const QJsonValue &data)
{
    if (m_informationServices)
        m_informationServices->handleSubtitle(data, false);
}

// May wait in a nested event loop for the box's answer (bounded there).
QString CMainApp::relayAuthCode(unsigned unAccount, const QJsonValue &data)
{
    if (!m_informationServices)
        return CInformationServices::authCodeFailure();
    return m_informationServices->checkAuthCode(unAccount, data);
}

void CMainApp::startUpdater()
{
    if (m_autoUpdate)
        m_autoUpdate->startUpdater();
}
