#include "service/printing/FileLoader.h"
#include "service/testsupport/LogCapture.h"
#include "tests/support/LogoServer.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

namespace {

QByteArray encodedImage(const char *format)
{
    QImage image(64, 32, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

} // namespace

// Logos come from real web servers on the loopback address.
class TestFileLoader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void fileNames_data();
    void fileNames();
    void logoIsStoredAsReceived_data();
    void logoIsStoredAsReceived();
    void backToBackRequestsStartOneDownload();
    void failedDownloadIsLoggedAndRetried_data();
    void failedDownloadIsLoggedAndRetried();

private:
    QString storedPath(const QString &fileName) const { return m_loader->logoPath(fileName); }
    // Replies belong to the loader's access manager until they are deleted:
    // this tells, without waiting, whether a request started a download.
    int downloadsInFlight() const { return m_loader->findChildren<QNetworkReply *>().size(); }

    std::optional<LogCapture> m_log;
    std::unique_ptr<QTemporaryDir> m_appDir;
    std::unique_ptr<FileLoader> m_loader;
    LogoServer m_http;
    LogoServer m_https{true};
};

void TestFileLoader::initTestCase()
{
    m_log.emplace();
    QVERIFY2(m_http.start(), qPrintable(m_http.errorText()));
    QVERIFY2(m_https.start(), qPrintable(m_https.errorText()));
    m_http.serve(QStringLiteral("/logo.png"), encodedImage("PNG"));
    m_http.serve(QStringLiteral("/photo.jpg"), encodedImage("JPEG"), 200, "Content-Type: image/jpeg\r\n");
    m_http.serve(QStringLiteral("/moved.png"), "moved", 302,
                 "Location: " + m_http.url(QStringLiteral("/logo.png")).toUtf8() + "\r\n");
    m_https.serve(QStringLiteral("/secure.png"), encodedImage("PNG"));
    m_http.serveEndless(QStringLiteral("/endless.png"));
    m_http.serve(QStringLiteral("/huge.png"), QByteArray(FileLoader::MaxLogoBytes + 1, 'h'));
}

void TestFileLoader::init()
{
    m_appDir = std::make_unique<QTemporaryDir>();
    m_loader = std::make_unique<FileLoader>(m_appDir->path());
    m_log->mark();
}

void TestFileLoader::cleanup()
{
    m_loader.reset();
}

void TestFileLoader::fileNames_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("fileName");

    QTest::newRow("plain") << "http://logo.example.com/merchant/12.png" << "b619eae11250cab13a8edb4ff153a69b.png";
    QTest::newRow("one character apart") << "http://logo.example.com/merchant/13.png"
                                         << "0e04ec1f10fd45f18541d7c26226c21b.png";
    QTest::newRow("non-ASCII, JPEG") << "https://img.example.cn/商家/标志.jpg"
                                     << "419e8f3f711c4bfad0fdcde3e1dedf5a.png";
}

void TestFileLoader::fileNames()
{
    QFETCH(QString, url);
    QFETCH(QString, fileName);
    QCOMPARE(FileLoader::fileNameFor(url), fileName);
}

void TestFileLoader::logoIsStoredAsReceived_data()
{
    QTest::addColumn<bool>("secure");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("JPEG over HTTP") << false << "/photo.jpg" << encodedImage("JPEG");
    QTest::newRow("self-signed HTTPS") << true << "/secure.png" << encodedImage("PNG");
}

void TestFileLoader::logoIsStoredAsReceived()
{
    QFETCH(bool, secure);
    QFETCH(QString, path);
    QFETCH(QByteArray, bytes);

    LogoServer &server = secure ? m_https : m_http;
    const int before = server.requests(path);
    const QString url = server.url(path);
    const QString fileName = m_loader->requestLogo(url);
    QCOMPARE(fileName, FileLoader::fileNameFor(url));
    QCOMPARE(storedPath(fileName), m_appDir->filePath(QStringLiteral("image/") + fileName));

    QTRY_VERIFY(QFile::exists(storedPath(fileName)));
    QFile stored(storedPath(fileName));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), bytes);
    QCOMPARE(server.requests(path), before + 1);
    // Only the logo itself lands in the folder.
    QCOMPARE(QDir(m_loader->imageFolder()).entryList(QDir::Files), QStringList({fileName}));

    // A stored logo is never fetched again, unless its file goes.
    QTRY_COMPARE(downloadsInFlight(), 0);
    QCOMPARE(m_loader->requestLogo(url), fileName);
    QCOMPARE(downloadsInFlight(), 0);
    QCOMPARE(server.requests(path), before + 1);
    QVERIFY(QFile::remove(storedPath(fileName)));
    m_loader->requestLogo(url);
    QTRY_VERIFY(QFile::exists(storedPath(fileName)));
    QCOMPARE(server.requests(path), before + 2);
    QVERIFY(m_log->linesWith(QStringLiteral("失败")).isEmpty());
}

void TestFileLoader::backToBackRequestsStartOneDownload()
{
    const QString path = QStringLiteral("/logo.png");
    const int before = m_http.requests(path);
    const QString url = m_http.url(path);
    const QString first = m_loader->requestLogo(url);
    const QString second = m_loader->requestLogo(url);
    QCOMPARE(second, first);
    QCOMPARE(downloadsInFlight(), 1);

    QTRY_VERIFY(QFile::exists(storedPath(first)));
    QCOMPARE(m_http.requests(path), before + 1);
}

void TestFileLoader::failedDownloadIsLoggedAndRetried_data()
{
    QTest::addColumn<QString>("path"); // on the HTTP server; empty: a port nobody listens on
    QTest::addColumn<QString>("url");  // when not on the server

    QTest::newRow("404") << "/missing.png" << QString();
    QTest::newRow("redirect not followed") << "/moved.png" << QString();
    QTest::newRow("nobody listening") << QString() << QString();
    // Cut off at the size limit, whether the length is told or not.
    QTest::newRow("endless answer") << "/endless.png" << QString();
    QTest::newRow("too long") << "/huge.png" << QString();
    // A receipt must not make the service copy local files or read devices.
    QTest::newRow("not a web address") << QString() << "file:///dev/zero";
}

void TestFileLoader::failedDownloadIsLoggedAndRetried()
{
    QFETCH(QString, path);
    QFETCH(QString, url);

    if (!path.isEmpty()) {
        url = m_http.url(path);
    } else if (url.isEmpty()) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        url = QStringLiteral("http://127.0.0.1:%1/gone.png").arg(closed.serverPort());
    }
    const int logoRequests = m_http.requests(QStringLiteral("/logo.png"));
    const int before = m_http.requests(path);
    const QString failure = QStringLiteral("获取商家logo(%1)失败").arg(url);

    const QString fileName = m_loader->requestLogo(url);
    QTRY_COMPARE(m_log->linesWith(failure).size(), 1);
    QCOMPARE(QDir(m_loader->imageFolder()).entryList(QDir::Files), QStringList());
    QCOMPARE(m_http.requests(QStringLiteral("/logo.png")), logoRequests);

    // The next print request for the address tries again.
    QCOMPARE(m_loader->requestLogo(url), fileName);
    QTRY_COMPARE(m_log->linesWith(failure).size(), 2);
    if (!path.isEmpty())
        QCOMPARE(m_http.requests(path), before + 2);
}

QTEST_GUILESS_MAIN(TestFileLoader)

#include "tst_fileloader.moc"
