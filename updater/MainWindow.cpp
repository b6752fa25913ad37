#include "updater/MainWindow.h"

#include "common/CoordinationProtocol.h"
#include "common/InstallationLayout.h"
#include "common/LenientJson.h"
#include "common/UpdateConfig.h"
#include "updater/PackageChecksum.h"
#include "updater/UdpThread.h"
#include "updater/Zip.h"
#include "updater/ZipResponse.h"

#include <QDate>
#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QUrl>

#include <climits>

namespace {

// The check answer is read as Update.conf is, up to its first zero byte.
// False when it is no JSON object.
bool parseAnswer(const QByteArray &body, QJsonObject *answer)
{
    const QJsonDocument document = QJsonDocument::fromJson(UpdateConfig::decode(body).toUtf8());
    *answer = document.object();
    return document.isObject();
}

// The program the answer names lives in the service folder itself.
bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

quint32 now()
{
    return quint32(QDateTime::currentSecsSinceEpoch());
}

} // namespace

MainWindow::MainWindow(int &argc, char **argv)
    : QGuiApplication(argc, argv)
{
    m_checkManager = new QNetworkAccessManager(this);
    connect(m_checkManager, &QNetworkAccessManager::finished, this, &MainWindow::onReplyFinished);
    m_downloadManager = new QNetworkAccessManager(this);
    connect(m_downloadManager, &QNetworkAccessManager::finished, this, &MainWindow::onDownloadFinished);

    m_updaterFolder = applicationDirPath();
    m_serviceFolder = m_updaterFolder.left(m_updaterFolder.lastIndexOf(QLatin1Char('/')));

    m_listener = std::make_unique<CUdpThread>();
    connect(m_listener.get(), &CUdpThread::updateAgreed, this, &MainWindow::onUpdateAgreed);
    connect(m_listener.get(), &CUdpThread::updateRefused, this, [this] { finishUpdate(false); });
    connect(m_listener.get(), &CUdpThread::serviceClosed, this, &MainWindow::onServiceClosed);
    connect(m_listener.get(), &CUdpThread::foreignAnswer, this, [this] { finishUpdate(false); });

    m_configFolder = m_updaterFolder;
    checkForUpdate();

    m_log.setLogDirectory(m_updaterFolder);
    m_log.start();

    m_watchdog.setSingleShot(true);
    connect(&m_watchdog, &QTimer::timeout, this, [this] { finishUpdate(false); });
    m_watchdog.start(WatchdogMs);

    m_installTimer.setSingleShot(true);
    connect(&m_installTimer, &QTimer::timeout, this, &MainWindow::installAndRestart);
}

MainWindow::~MainWindow() = default;

QString MainWindow::packagePath() const
{
    return m_updaterFolder + QStringLiteral("/update.zip");
}

QJsonObject MainWindow::readUpdateConfig(const QString &folder) const
{
    QString text = UpdateConfig::readText(folder + QLatin1Char('/') + InstallationLayout::updateConf());
    if (text.isEmpty()) {
        QString parseError;
        UpdateConfig::parse(text, &parseError);
        qDebug().noquote() << parseError << "vorqconfiginfo!!";
        text = UpdateConfig::readText(folder + QLatin1Char('/') + InstallationLayout::fallbackConf());
    }
    return UpdateConfig::parse(text);
}

bool MainWindow::writeUpdateConfig(const QString &folder, const QJsonObject &object) const
{
    QString error;
    const bool written = UpdateConfig::write(folder + QLatin1Char('/') + InstallationLayout::updateConf(), object, &error);
    if (!written)
        qDebug().noquote() << error;
    return written;
}

void MainWindow::checkForUpdate()
{
    const UpdateConfig config = UpdateConfig::fromObject(readUpdateConfig(m_configFolder));
    m_version = config.version;
    m_name = config.name;
    m_updateTime = config.updateTime;
    m_url = config.url;
    m_silent = config.silent;
    m_startTime = config.startTime;
    m_device = config.device;

    QString url = m_url;
    if (!m_device.isEmpty() && m_device != QLatin1String("0"))
        url += QStringLiteral("&device=") + m_device;
    QNetworkReply *reply = m_checkManager->get(QNetworkRequest(QUrl(url)));
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > CheckAnswerLimit)
            reply->abort();
    });
}

void MainWindow::onReplyFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        qDebug().noquote() << "Error:" << reply->errorString();
        finishUpdate(false);
        return;
    }
    QJsonObject answer;
    if (!parseAnswer(reply->readAll(), &answer))
        return; // nothing to act on; the watchdog ends the run
    m_packageName = LenientJson::readString(answer.value(QLatin1String("name")));
    m_comment = LenientJson::readString(answer.value(QLatin1String("comment")));
    m_packageUrl = LenientJson::readString(answer.value(QLatin1String("url")));
    m_offeredVersion = LenientJson::readUnsigned(answer.value(QLatin1String("version")));
    m_hash = LenientJson::readUnsigned(answer.value(QLatin1String("hash")));
    m_answerDevice = LenientJson::readString(answer.value(QLatin1String("device")));
    qDebug() << "versionNumber:" << m_version << m_offeredVersion << m_hash;

    if (m_version < m_offeredVersion) {
        if (m_silent != 0)
            startDownload();
        else
            m_listener->sendMessage(CoordinationProtocol::isUpdated());
        return;
    }
    qDebug() << "不需要更新关闭update";
    if (m_installer.hasPendingNewFiles(m_updaterFolder))
        scheduleCloseRequest();
    else
        finishUpdate(false);
}

void MainWindow::onUpdateAgreed()
{
    if (!m_packageRequested)
        startDownload();
}

// A retry is another attempt of the same download; the bar keeps its value
// until the new reply reports progress.
void MainWindow::startDownload()
{
    m_packageRequested = true;
    m_packageFile.close();
    m_packageFile.setFileName(packagePath());
    m_packageWritable = m_packageFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered);

    m_currentReply = m_downloadManager->get(QNetworkRequest(QUrl(m_packageUrl)));
    // Bounds what the network side holds for us should the file be slow.
    m_currentReply->setReadBufferSize(PackageBufferBytes);
    connect(m_currentReply, &QNetworkReply::readyRead, this, &MainWindow::savePackageData);
    connect(m_currentReply, &QNetworkReply::downloadProgress, this, &MainWindow::updateProgressBar);
    if (m_silent == 0)
        emit showProgressbarChanged(true);
}

void MainWindow::savePackageData()
{
    const QByteArray data = m_currentReply->readAll();
    if (m_packageWritable && m_packageFile.write(data) != data.size())
        m_packageWritable = false;
}

// True when every byte reached the file. A package that was not written
// whole is removed, so no half file is ever taken for a package.
bool MainWindow::closePackageFile()
{
    m_packageFile.close();
    const bool whole = m_packageWritable && m_packageFile.error() == QFileDevice::NoError;
    if (!whole && m_packageWritable)
        m_packageFile.remove();
    m_packageWritable = false;
    return whole;
}

void MainWindow::onDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_currentReply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        qDebug().noquote() << "Error:" << reply->errorString();
        m_packageWritable = false;
        m_packageFile.close();
        m_packageFile.remove();
        if (m_retries >= DownloadRetries) {
            if (m_silent == 0)
                emit showProgressbarChanged(false);
            finishUpdate(false);
            return;
        }
        ++m_retries;
        startDownload();
        qDebug() << "下载6次失败后关闭:" << m_retries;
        return;
    }

    savePackageData();
    if (!closePackageFile()) {
        qDebug().noquote() << "package not written:" << packagePath() << m_packageFile.errorString();
        if (m_silent == 0)
            emit showProgressbarChanged(false);
        finishUpdate(false);
        return;
    }

    quint32 checksum = 0;
    if (!PackageChecksum::ofFile(packagePath(), &checksum) || checksum != m_hash) {
        const QString text = packagePath() + QStringLiteral("hash error:") + QString::number(checksum)
            + QStringLiteral(" | ") + QString::number(m_hash);
        addLogEntry(text);
        qDebug().noquote() << text;
        finishUpdate(false);
        return;
    }
    acceptPackage();
    if (m_silent == 0)
        emit showProgressbarChanged(false);
}

void MainWindow::acceptPackage()
{
    UpdateConfig config;
    config.version = m_offeredVersion;
    config.name = m_name;
    config.updateTime = QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"));
    config.startTime = m_startTime;
    config.url = m_url;
    config.silent = m_silent;
    config.device = m_device;
    if (!writeUpdateConfig(m_configFolder, config.toObject()))
        qDebug() << "write error!";
    unpackPackage();
}

void MainWindow::finishUpdate(bool restartService)
{
    if (restartService && m_restartAllowed) {
        m_restartAllowed = false;
        if (isPlainFileName(m_packageName))
            QProcess::startDetached(m_serviceFolder + QLatin1Char('/') + m_packageName, QStringList(), m_serviceFolder);
        else
            qDebug().noquote() << "no program to start:" << m_packageName;
    }
    quit();
}

void MainWindow::setProgress(qint64 progress)
{
    if (progress == m_progress)
        return;
    m_progress = progress;
    emit progressChanged();
}

void MainWindow::updateProgressBar(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal <= 0)
        return; // size unreported
    setProgress(bytesReceived * 100 / bytesTotal);
}

void MainWindow::unpackPackage()
{
    addLogEntry(QStringLiteral("dir1:") + packagePath() + QStringLiteral("\ndir2:") + m_updaterFolder);
    ZipResponse *response = Zip::decompressionAsync(packagePath(), m_updaterFolder);
    connect(response, &ZipResponse::finished, this, &MainWindow::onCloseUpdateChanged);
    connect(response, &ZipResponse::finished, response, &QObject::deleteLater);
}

// A failed unpacking has removed what it wrote; nothing is installed and the
// service is not asked to close. The run ends as for a package that is not
// the service's: a service that ended for the update is started again.
void MainWindow::onCloseUpdateChanged(bool bSuccess)
{
    addLogEntry(QStringLiteral("================") + m_packageName);
    if (!bSuccess) {
        qDebug().noquote() << "unpacking failed:" << packagePath();
        finishUpdate(m_silent == 0);
        return;
    }
    if (m_packageName != InstallationLayout::serviceProgram()) {
        finishUpdate(m_silent == 0);
        return;
    }
    // Without waiting files the run ends by its watchdog.
    if (m_installer.hasPendingNewFiles(m_updaterFolder))
        scheduleCloseRequest();
}

void MainWindow::scheduleCloseRequest()
{
    QTimer::singleShot(CloseRequestDelayMs, this, [this] {
        m_closeRequested = true;
        m_listener->sendMessage(CoordinationProtocol::closeApp());
    });
}

// Only an answer to our own "CloseApp" installs, and only once: the answer
// arrives in up to four copies.
void MainWindow::onServiceClosed()
{
    if (!m_closeRequested || m_installScheduled)
        return;
    m_installScheduled = true;
    m_installTimer.start(int(qMin<quint32>(startDelayMs(m_startTime), quint32(INT_MAX))));
}

quint32 MainWindow::startDelayMs(quint32 startTime)
{
    return qMax(startTime, MinimumStartDelayMs);
}

void MainWindow::installAndRestart()
{
    m_installer.installNewFiles(m_updaterFolder);
    finishUpdate(true);
}

void MainWindow::addLogEntry(const QString &text)
{
    m_log.addEntry(now(), text);
}
