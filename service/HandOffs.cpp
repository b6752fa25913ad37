// Where the dispatcher hands work to printing, the set-top-box service and
// the update coordinator (see the list in MainApp.h). Until those objects
// exist, each hand-off does the least that keeps the commands' answers right.

#include "MainApp.h"

#include "AutoUpdate.h"
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
    Q_UNUSED(type)
    Q_UNUSED(content)
    Q_UNUSED(times)
    Q_UNUSED(ip)
}

// No set-top box has reported yet.
QString CMainApp::setTopBoxList()
{
    return QStringLiteral("{\"code\":180,\"data\":[]}");
}

void CMainApp::applySubtitleCommand(const QJsonValue &data)
{
    Q_UNUSED(data)
}

// No box known for any account.
QString CMainApp::relayAuthCode(unsigned unAccount, const QJsonValue &data)
{
    Q_UNUSED(unAccount)
    Q_UNUSED(data)
    return QStringLiteral("{\"errCode\": 1,\"query\": \"checkAuthCode\"}");
}

void CMainApp::startUpdater()
{
    if (m_autoUpdate)
        m_autoUpdate->startUpdater();
}
