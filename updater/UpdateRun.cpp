#include "updater/UpdateRun.h"

#include "common/Clock.h"
#include "common/CoordinationProtocol.h"
#include "common/InstallationLayout.h"
#include "common/LenientJson.h"
#include "platform/FileInUse.h"
#include "updater/PackageChecksum.h"
#include "updater/PackageSignature.h"
#include "updater/UdpThread.h"
#include "updater/UpdateLog.h"
#include "updater/Zip.h"
#include "updater/ZipResponse.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonDocument>
#include <QMetaEnum>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QStorageInfo>
#include <QUrl>

namespace {

// The check answer is read as Update.conf is, up to its first zero byte.
bool parseAnswer(const QByteArray &body, QJsonObject *answer)
{
    const QJsonDocument document = QJsonDocument::fromJson(UpdateConfig::decode(body).toUtf8());
    *answer = document.object();
    return document.isObject();
}

QString stateName(UpdateRun::State state)
{
    return QString::fromLatin1(QMetaEnum::fromType<UpdateRun::State>().valueToKey(int(state)));
}

// The free space is looked at again after this much more was written.
constexpr qint64 SpaceLookBytes = 1 << 20;
constexpr int ServiceExitPollMs = 200;

} // namespace

UpdateRun::UpdateRun(const Settings &settings, const Clock &clock, CBackupFiles &log, QObject *parent)
    : QObject(parent),
      m_settings(settings),
      m_clock(clock),
      m_log(log),
      m_serviceFolder(settings.updaterFolder.left(settings.updaterFolder.lastIndexOf(QLatin1Char('/')))),
      m_staged(settings.updaterFolder)
{
    m_network = new QNetworkAccessManager(this);
    m_watchdog.setSingleShot(true);
    connect(&m_watchdog, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("the run took too long, ended in state ") + stateName(m_state));
    });
    m_stepTimer.setSingleShot(true);
    connect(&m_stepTimer, &QTimer::timeout, this, [this] {
        if (m_nextStep)
            m_nextStep();
    });
}

UpdateRun::~UpdateRun()
{
    if (m_reply)
        m_reply->abort();
}

QString UpdateRun::serviceProgramPath() const
{
    return m_serviceFolder + QLatin1Char('/') + InstallationLayout::serviceProgram();
}

QString UpdateRun::packagePath() const
{
    return m_settings.updaterFolder + QStringLiteral("/update.zip");
}

QJsonObject UpdateRun::readUpdateConfig(const QString &folder)
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

void UpdateRun::setState(State state)
{
    m_state = state;
    m_stepTimer.stop();
    emit stateChanged(state);
}

void UpdateRun::after(int ms, std::function<void()> step)
{
    m_nextStep = std::move(step);
    m_stepTimer.start(ms);
}

void UpdateRun::log(const QString &text)
{
    m_log.addEntry(quint32(m_clock.epochMs() / 1000), text);
    qDebug().noquote() << text;
}

// Only a run that asks the service shows its download.
void UpdateRun::showProgressWindow(bool shown)
{
    if (shown == m_progressShown)
        return;
    m_progressShown = shown;
    emit showProgress(shown);
}

void UpdateRun::start()
{
    m_listener = std::make_unique<CUdpThread>();
    connect(m_listener.get(), &CUdpThread::updateAgreed, this, &UpdateRun::onServiceAnswered);
    connect(m_listener.get(), &CUdpThread::serviceClosed, this, &UpdateRun::onServiceAnswered);
    connect(m_listener.get(), &CUdpThread::updateRefused, this,
            [this] { fail(QStringLiteral("the service refused the update")); });
    connect(m_listener.get(), &CUdpThread::foreignAnswer, this,
            [this] { fail(QStringLiteral("an answer not given to this run")); });
    m_watchdog.start(m_settings.watchdogMs);

    m_config = UpdateConfig::fromObject(readUpdateConfig(m_settings.updaterFolder));
    // What a killed run left: a package file, or an unpacking cut short.
    removePackage();
    m_staged.removeUnfinished();
    if (m_staged.isPending() && m_staged.version() <= m_config.version) {
        // Installed already (killed before the staging folder went), or
        // overtaken by what is installed now.
        log(QStringLiteral("an unpacked update to version %1 is not newer than version %2; removed")
                .arg(m_staged.version())
                .arg(m_config.version));
        m_staged.discard();
    }
    if (m_staged.isPending()) {
        m_offeredVersion = m_staged.version();
        log(QStringLiteral("an unpacked update to version %1 waits to be installed").arg(m_offeredVersion));
        closeService();
        return;
    }
    check();
}

void UpdateRun::check()
{
    setState(State::Checking);
    QString url = m_config.url;
    if (!m_config.device.isEmpty() && m_config.device != QLatin1String("0"))
        url += QStringLiteral("&device=") + m_config.device;
    QNetworkReply *reply = m_network->get(QNetworkRequest(QUrl(url)));
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
        if (received > CheckAnswerLimit)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onCheckFinished(reply); });
}

void UpdateRun::onCheckFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (m_state != State::Checking)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        qDebug().noquote() << "Error:" << reply->errorString();
        fail(QStringLiteral("update check failed: ") + reply->errorString());
        return;
    }
    QJsonObject answer;
    if (!parseAnswer(reply->readAll(), &answer)) {
        fail(QStringLiteral("the update check's answer is no JSON object"));
        return;
    }
    m_packageName = LenientJson::readString(answer.value(QLatin1String("name")));
    m_packageUrl = LenientJson::readString(answer.value(QLatin1String("url")));
    m_offeredVersion = LenientJson::readUnsigned(answer.value(QLatin1String("version")));
    m_hash = LenientJson::readUnsigned(answer.value(QLatin1String("hash")));
    m_signature = LenientJson::readString(answer.value(QLatin1String("signature"))).toUtf8();
    qDebug() << "versionNumber:" << m_config.version << m_offeredVersion << m_hash;

    if (m_config.version >= m_offeredVersion) {
        qDebug() << "不需要更新关闭update";
        log(QStringLiteral("no newer version offered (installed %1, offered %2)")
                .arg(m_config.version)
                .arg(m_offeredVersion));
        end(false);
        return;
    }
    // Only the service's own package is installed, and only the service is
    // ever started again: the answer names no program of its choice.
    if (m_packageName != InstallationLayout::serviceProgram()) {
        fail(QStringLiteral("offer of version %1 refused: it is for \"%2\", not for %3")
                 .arg(m_offeredVersion)
                 .arg(m_packageName, InstallationLayout::serviceProgram()));
        return;
    }
    log(QStringLiteral("offer found: version %1 (installed %2) at %3")
            .arg(m_offeredVersion)
            .arg(m_config.version)
            .arg(m_packageUrl));
    download();
}

// A retry is another attempt of the same download; the bar keeps its value
// until the new reply reports progress.
void UpdateRun::download()
{
    setState(State::Downloading);
    m_packageFile.close();
    m_packageFile.setFileName(packagePath());
    if (!m_packageFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(QStringLiteral("cannot write the package file: ") + m_packageFile.errorString());
        return;
    }
    m_packageBytes = 0;
    m_bytesAtLastSpaceLook = -SpaceLookBytes;
    m_boundExceeded.clear();

    m_reply = m_network->get(QNetworkRequest(QUrl(m_packageUrl)));
    // Bounds what the network side holds for us should the disk be slow.
    m_reply->setReadBufferSize(PackageBufferBytes);
    QNetworkReply *reply = m_reply;
    connect(reply, &QNetworkReply::readyRead, this, &UpdateRun::savePackageData);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdateRun::downloadProgress);
    connect(reply, &QNetworkReply::finished, this, [this, reply] { onDownloadFinished(reply); });
    showProgressWindow(m_config.silent == 0);
}

void UpdateRun::savePackageData()
{
    if (!m_reply || !m_boundExceeded.isEmpty())
        return;
    const QByteArray data = m_reply->readAll();
    if (!withinBounds(data.size())) {
        m_reply->abort();
        return;
    }
    if (m_packageFile.write(data) != data.size()) {
        m_boundExceeded = QStringLiteral("cannot write the package file: ") + m_packageFile.errorString();
        m_reply->abort();
        return;
    }
    m_packageBytes += data.size();
}

bool UpdateRun::withinBounds(qint64 incoming)
{
    if (m_packageBytes + incoming > m_settings.maxPackageBytes) {
        m_boundExceeded = QStringLiteral("the package is larger than %1 bytes").arg(m_settings.maxPackageBytes);
        return false;
    }
    if (m_packageBytes + incoming - m_bytesAtLastSpaceLook >= SpaceLookBytes) {
        m_bytesAtLastSpaceLook = m_packageBytes;
        const QStorageInfo storage(m_settings.updaterFolder);
        if (storage.isValid() && storage.bytesAvailable() - incoming < m_settings.freeSpaceMarginBytes) {
            m_boundExceeded = QStringLiteral("the disk would have less than %1 bytes free")
                                  .arg(m_settings.freeSpaceMarginBytes);
            return false;
        }
    }
    return true;
}

void UpdateRun::onDownloadFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_reply || m_state != State::Downloading)
        return;
    m_reply = nullptr;
    if (m_boundExceeded.isEmpty() && reply->error() == QNetworkReply::NoError)
        savePackageData();
    // A connection closed early can end a reply without an error: a package
    // shorter than announced is a failed attempt, not a package.
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const bool cutShort = announced.isValid() && announced.toLongLong() != m_packageBytes;
    if (!m_boundExceeded.isEmpty()) {
        removePackage();
        fail(QStringLiteral("download stopped after %1 bytes: ").arg(m_packageBytes) + m_boundExceeded);
        return;
    }
    if (reply->error() != QNetworkReply::NoError || cutShort) {
        const QString error = cutShort ? QStringLiteral("the connection closed before the announced %1 bytes")
                                             .arg(announced.toLongLong())
                                       : reply->errorString();
        qDebug().noquote() << "Error:" << error;
        log(QStringLiteral("download failed after %1 bytes: ").arg(m_packageBytes) + error);
        removePackage();
        if (m_retries >= DownloadRetries) {
            fail(QStringLiteral("download failed %1 times").arg(m_retries + 1));
            return;
        }
        ++m_retries;
        download();
        qDebug() << "下载6次失败后关闭:" << m_retries;
        return;
    }
    m_packageFile.close();
    if (m_packageFile.error() != QFileDevice::NoError) {
        removePackage();
        fail(QStringLiteral("cannot write the package file: ") + m_packageFile.errorString());
        return;
    }
    log(QStringLiteral("downloaded %1 bytes").arg(m_packageBytes));
    showProgressWindow(false);
    verify();
}

void UpdateRun::removePackage()
{
    m_packageFile.close();
    QFile::remove(packagePath());
}

void UpdateRun::verify()
{
    setState(State::Verifying);
    quint32 checksum = 0;
    if (!PackageChecksum::ofFile(packagePath(), &checksum) || checksum != m_hash) {
        // The package stays for a look until the next run removes it.
        fail(packagePath() + QStringLiteral("hash error:") + QString::number(checksum) + QStringLiteral(" | ")
             + QString::number(m_hash));
        return;
    }
    log(QStringLiteral("checksum %1 matches").arg(checksum));
    QString error;
    if (!m_config.publicKey.isEmpty()) {
        if (!verifySignature(&error)) {
            fail(packagePath() + QStringLiteral("signature error:") + error);
            return;
        }
        log(QStringLiteral("signature verified"));
    }
    unpack();
}

// The CRC stops accidents; with a key on the till, only what its publisher
// signed is installed.
bool UpdateRun::verifySignature(QString *error) const
{
    const std::optional<PackageSignature> key = PackageSignature::fromPublicKey(m_config.publicKey, error);
    if (!key)
        return false;
    if (m_signature.isEmpty()) {
        *error = QStringLiteral("the answer carries no signature");
        return false;
    }
    return key->verifyFile(packagePath(), m_signature, error);
}

void UpdateRun::unpack()
{
    setState(State::Unpacking);
    if (!m_staged.prepare()) {
        fail(QStringLiteral("cannot make the staging folder ") + m_staged.folder());
        return;
    }
    log(QStringLiteral("dir1:") + packagePath() + QStringLiteral("\ndir2:") + m_staged.folder());
    // With a key set, a package must not bring the updater's settings: they
    // hold the key.
    QStringList refused;
    if (!m_config.publicKey.isEmpty())
        refused << InstallationLayout::updateConf() << InstallationLayout::updateConf() + QStringLiteral("-new");
    ZipResponse *response = Zip::decompressionAsync(packagePath(), m_staged.folder(), refused);
    connect(response, &ZipResponse::finished, this, &UpdateRun::onUnpacked);
    connect(response, &ZipResponse::finished, response, &QObject::deleteLater);
}

void UpdateRun::onUnpacked(bool success)
{
    if (m_state != State::Unpacking)
        return;
    m_log.addEntry(quint32(m_clock.epochMs() / 1000), QStringLiteral("================") + m_packageName);
    QString error;
    if (!success) {
        m_staged.discard();
        fail(QStringLiteral("unpacking failed: ") + packagePath());
        return;
    }
    if (!m_staged.seal(m_offeredVersion, &error)) {
        m_staged.discard();
        fail(QStringLiteral("unpacked package refused: ") + error);
        return;
    }
    log(QStringLiteral("unpacked: ") + m_staged.files().join(QStringLiteral(", ")));
    closeService();
}

// A lone new Updater is applied by the service itself once we have ended:
// the service need not close for it.
void UpdateRun::closeService()
{
    setState(State::ClosingService);
    if (!m_staged.replacesServiceFiles()) {
        install();
        return;
    }
    after(m_settings.closeRequestDelayMs, [this] { sendCloseRequest(); });
}

void UpdateRun::sendCloseRequest()
{
    m_serviceAsked = true;
    const bool asked = m_config.silent == 0;
    log(QStringLiteral("asking the service to end (%1)")
            .arg(asked ? CoordinationProtocol::isUpdated() : CoordinationProtocol::closeApp()));
    m_listener->sendMessage(asked ? CoordinationProtocol::isUpdated() : CoordinationProtocol::closeApp());
    after(m_settings.answerWaitMs, [this] { onAnswerWaitOver(); });
}

// The answer comes in up to four copies; only the first counts.
void UpdateRun::onServiceAnswered()
{
    if (m_state != State::ClosingService || !m_serviceAsked)
        return;
    setState(State::WaitingToInstall);
    const quint32 delay = UpdateConfig::startDelayMs(m_config.startTime);
    log(QStringLiteral("the service is ending; installing in %1 ms").arg(delay));
    after(int(delay), [this] {
        m_exitWaitStartMs = m_clock.monotonicMs();
        waitForServiceExit();
    });
}

// No answer: a service that no longer runs cannot answer, and the files are
// then free to be replaced.
void UpdateRun::onAnswerWaitOver()
{
    if (isFileInUse(serviceProgramPath())) {
        fail(QStringLiteral("the service did not answer; the update waits for the next run"));
        return;
    }
    log(QStringLiteral("the service did not answer and does not run"));
    setState(State::WaitingToInstall);
    m_exitWaitStartMs = m_clock.monotonicMs();
    waitForServiceExit();
}

// A running program is never replaced under it: one started again during the
// wait keeps its files, and the next run installs the update.
void UpdateRun::waitForServiceExit()
{
    if (!isFileInUse(serviceProgramPath())) {
        install();
        return;
    }
    if (m_clock.monotonicMs() - m_exitWaitStartMs >= m_settings.serviceExitWaitMs) {
        fail(QStringLiteral("the service runs (started again?); the update waits for the next run"));
        return;
    }
    after(ServiceExitPollMs, [this] { waitForServiceExit(); });
}

void UpdateRun::install()
{
    setState(State::Installing);
    QList<StagedPackage::FileResult> results;
    const bool complete = m_staged.install(&results);
    for (const StagedPackage::FileResult &result : qAsConst(results))
        log(result.text);
    if (!complete) {
        fail(QStringLiteral("installation incomplete; the next run finishes it"));
        return;
    }
    if (!recordVersion(m_offeredVersion)) {
        fail(QStringLiteral("write error! Update.conf keeps the old version; the next run finishes it"));
        return;
    }
    m_staged.finish();
    log(QStringLiteral("version %1 installed").arg(m_offeredVersion));
    end(true);
}

// The version changes only once the whole set is in place. Read afresh: the
// service may have changed the file since the run began.
bool UpdateRun::recordVersion(quint32 version)
{
    UpdateConfig config = UpdateConfig::fromObject(readUpdateConfig(m_settings.updaterFolder));
    config.version = version;
    config.updateTime = m_clock.localNow().date().toString(QStringLiteral("yyyy-MM-dd"));
    QString error;
    const QString path = m_settings.updaterFolder + QLatin1Char('/') + InstallationLayout::updateConf();
    if (!UpdateConfig::write(path, config.toObject(), &error)) {
        qDebug().noquote() << error;
        return false;
    }
    return true;
}

void UpdateRun::fail(const QString &reason)
{
    if (m_state == State::Ended)
        return;
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        m_reply = nullptr;
        reply->abort();
    }
    if (m_state == State::Downloading)
        removePackage();
    showProgressWindow(false);
    log(reason);
    end(false);
}

void UpdateRun::abandon(const QString &reason)
{
    fail(reason);
}

void UpdateRun::end(bool installed)
{
    if (m_state == State::Ended)
        return;
    setState(State::Ended);
    m_watchdog.stop();
    if (m_serviceAsked)
        startServiceOnce();
    emit finished(installed);
}

void UpdateRun::startServiceOnce()
{
    if (m_serviceStarted)
        return;
    m_serviceStarted = true;
    const QString program = serviceProgramPath();
    if (isFileInUse(program)) {
        log(QStringLiteral("the service runs"));
        return;
    }
    const bool started = QProcess::startDetached(program, QStringList(), m_serviceFolder);
    log((started ? QStringLiteral("service started: ") : QStringLiteral("cannot start the service: ")) + program);
}
