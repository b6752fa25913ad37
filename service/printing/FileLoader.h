#pragma once

#include "service/printing/LogoFiles.h"

#include <QMap>
#include <QObject>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

// Keeps merchant logos as local files for the receipt renderer, which only
// reads local files. Each logo address maps to a fixed name in the image
// folder; a missing file is downloaded in the background and nobody is told
// when it arrives: the print queue simply looks for the file. Main thread.
class FileLoader : public QObject, public LogoFiles
{
    Q_OBJECT

public:
    enum State { NotStored = 0, Downloading = 1, Stored = 2 };

    // The image folder is applicationDir + "/image"; by default the
    // application's own folder.
    explicit FileLoader(const QString &applicationDir = QString());
    ~FileLoader() override;

    // The local file name (not the path) the logo is or will be stored
    // under; starts its download when needed. Never waits for the network.
    QString requestLogo(const QString &url);

    // logoPath(requestLogo(url)).
    QString localLogoPath(const QString &url) override;

    QString imageFolder() const { return m_imageFolder; }
    QString logoPath(const QString &fileName) const { return m_imageFolder + QLatin1Char('/') + fileName; }
    // md5 of the address, in lower-case hex, with ".png" whatever the format.
    static QString fileNameFor(const QString &url);

    // A download that stops moving for this long fails, so the next print
    // request for the logo tries again.
    static constexpr int TransferTimeoutMs = 30000;
    // A logo is a small picture; a longer answer is cut off and fails, so an
    // endless one cannot fill the memory or the disk.
    static constexpr qint64 MaxLogoBytes = 4 * 1024 * 1024;
    // Every receipt may name a new address: the tables forget what is not
    // being downloaded when they reach this size (the names follow from the
    // addresses, the stored logos are found on disk again), and no more
    // downloads than this run at once; a request beyond fails like a
    // download and is tried again by a later receipt.
    static constexpr int MaxKnownAddresses = 1024;
    static constexpr int MaxDownloads = 16;

private:
    void startDownload(const QString &url, const QString &fileName);
    void downloadFinished(QNetworkReply *reply, const QString &fileName, const QString &url);
    void storeLogo(const QByteArray &bytes, const QString &fileName);
    void forgetIdleAddresses();
    void failed(const QString &fileName, const QString &url);

    QNetworkAccessManager *m_network = nullptr;
    QMap<QString, QString> m_fileNames;
    QMap<QString, int> m_states;
    int m_downloads = 0;
    QString m_imageFolder;
};
