#include "service/printing/FileLoader.h"

#include "service/log/LogFacility.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QSslConfiguration>
#include <QUrl>

namespace {

bool isWebAddress(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

// Anything but a 2xx answer is not the logo: a redirect or error page
// stored under the logo's name would print as a broken image for good.
bool isSuccessfulAnswer(const QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return reply->error() == QNetworkReply::NoError && status >= 200 && status < 300;
}

} // namespace

FileLoader::FileLoader(const QString &applicationDir)
    : m_network(new QNetworkAccessManager(this)),
      m_imageFolder((applicationDir.isEmpty() ? QCoreApplication::applicationDirPath() : applicationDir)
                    + QStringLiteral("/image"))
{
}

FileLoader::~FileLoader()
{
    // Downloads still running are dropped without reaching a handler.
    const QList<QNetworkReply *> replies = m_network->findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies)
        disconnect(reply, nullptr, this, nullptr);
    delete m_network;
    m_network = nullptr;
}

QString FileLoader::fileNameFor(const QString &url)
{
    const QByteArray digest = QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Md5).toHex();
    return QStringLiteral("%1.png").arg(QString::fromLatin1(digest));
}

QString FileLoader::localLogoPath(const QString &url)
{
    return logoPath(requestLogo(url));
}

QString FileLoader::requestLogo(const QString &url)
{
    if (!QDir(m_imageFolder).exists())
        QDir().mkpath(m_imageFolder);

    auto name = m_fileNames.constFind(url);
    if (name == m_fileNames.constEnd()) {
        if (m_fileNames.size() >= MaxKnownAddresses)
            forgetIdleAddresses();
        name = m_fileNames.insert(url, fileNameFor(url));
    }
    const QString fileName = *name;

    if (QFileInfo::exists(logoPath(fileName))) {
        m_states[fileName] = Stored;
        return fileName;
    }
    if (m_states.value(fileName, NotStored) == Downloading)
        return fileName;
    m_states.insert(fileName, NotStored);

    startDownload(url, fileName);
    return fileName;
}

void FileLoader::startDownload(const QString &url, const QString &fileName)
{
    const QUrl address(url, QUrl::TolerantMode);
    // Only web addresses: a file or data address would copy local files or
    // read devices without end.
    if (!isWebAddress(address) || m_downloads >= MaxDownloads) {
        failed(fileName, url);
        return;
    }

    QNetworkRequest request(address);
    // Merchant logo servers often use self-signed certificates.
    QSslConfiguration tls = request.sslConfiguration();
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);
    request.setSslConfiguration(tls);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(TransferTimeoutMs);

    QNetworkReply *reply = m_network->get(request);
    reply->ignoreSslErrors();
    m_states.insert(fileName, Downloading);
    ++m_downloads;
    // Qt keeps what arrives until it is read, so the answer is cut off as
    // soon as it is known to be too long.
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > MaxLogoBytes || total > MaxLogoBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, fileName, url] { downloadFinished(reply, fileName, url); });
}

void FileLoader::downloadFinished(QNetworkReply *reply, const QString &fileName, const QString &url)
{
    --m_downloads;
    if (isSuccessfulAnswer(reply) && reply->bytesAvailable() <= MaxLogoBytes) {
        storeLogo(reply->readAll(), fileName);
        // Also when the file could not be written: the next request then
        // finds no file and downloads again.
        m_states.insert(fileName, Stored);
    } else {
        failed(fileName, url);
    }
    reply->deleteLater();
}

void FileLoader::failed(const QString &fileName, const QString &url)
{
    WRITE_LOG(PrinterLog, QStringLiteral("获取商家logo(%1)失败").arg(url));
    m_states.insert(fileName, NotStored);
}

// Downloads under way keep their state, so a receipt naming one of them
// does not start a second.
void FileLoader::forgetIdleAddresses()
{
    m_fileNames.clear();
    for (auto it = m_states.begin(); it != m_states.end();) {
        if (*it == Downloading)
            ++it;
        else
            it = m_states.erase(it);
    }
}

// The print thread takes the logo as soon as the file exists, so the file
// appears only once it is complete.
void FileLoader::storeLogo(const QByteArray &bytes, const QString &fileName)
{
    QSaveFile file(logoPath(fileName));
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(bytes);
    file.commit();
}
