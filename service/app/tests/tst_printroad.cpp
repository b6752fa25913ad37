#include "service/app/MainApp.h"
#include "service/printing/FileLoader.h"
#include "service/testsupport/HarnessAppMain.h"
#include "tests/support/LogoServer.h"
#include "tests/support/PrintedJobs.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

// A print command from its HTTP request to the job in the scheduler, through
// the application object of this process (command server, dispatcher, logo
// loader, print queue, renderer).
class TestPrintRoad : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void receiptReachesItsPrinter_data();
    void receiptReachesItsPrinter();
    void logoIsFetchedAndPrinted();
    void countFollowsTheQueue();
    void settingsLayOutTheNextReceipt();

private:
    QByteArray post(const QJsonObject &command);
    QJsonObject receipt(const QString &text, const QString &logoUrl = QString(), const QString &printer = QString()) const;

    CMainApp *m_app = nullptr;
    QNetworkAccessManager m_client;
    LogoServer m_logos;
    QList<int> m_counts;
};

void TestPrintRoad::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    m_app = qobject_cast<CMainApp *>(qApp);
    QVERIFY(m_app);
    QVERIFY2(m_logos.start(), qPrintable(m_logos.errorText()));
    QImage logo(200, 80, QImage::Format_RGB32);
    logo.fill(Qt::darkGreen);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    logo.save(&buffer, "PNG");
    m_logos.serve(QStringLiteral("/shop.png"), png);
    // Like the window: reads the count when the signal arrives on this thread.
    connect(m_app, &CMainApp::printQuantityChanged, this, [this] { m_counts.append(m_app->printQuantity()); });
    // The service lists its printers off the main thread; with other tests
    // beside it that first listing can come late, and the rows below are
    // about where receipts go, not about how soon the list is there.
    const QJsonObject status{{QStringLiteral("Msg"), QStringLiteral("PrinterStatus")}};
    QTRY_VERIFY_WITH_TIMEOUT(post(status).contains("kitchen80"), 30000);
}

void TestPrintRoad::cleanupTestCase()
{
    if (m_app) {
        QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/PrinterConfig.json"));
        QDir(m_app->fileLoader()->imageFolder()).removeRecursively();
    }
}

QByteArray TestPrintRoad::post(const QJsonObject &command)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:12380/")));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    QNetworkReply *reply = m_client.post(request, QJsonDocument(command).toJson(QJsonDocument::Compact));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(10000);
    const QByteArray answer = reply->readAll();
    reply->deleteLater();
    return answer;
}

QJsonObject TestPrintRoad::receipt(const QString &text, const QString &logoUrl, const QString &printer) const
{
    QString html = QStringLiteral("<html><body>");
    if (!logoUrl.isEmpty())
        html += QStringLiteral("<img  src=\"%1\" width=\"160\">").arg(logoUrl);
    html += QStringLiteral("<p>%1</p><p>合计：¥8.00</p></body></html>").arg(text);
    QJsonObject command{{QStringLiteral("data"), html}};
    if (!printer.isEmpty())
        command.insert(QStringLiteral("Name"), printer);
    return command;
}

void TestPrintRoad::receiptReachesItsPrinter_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("queue");

    QTest::newRow("installed") << "kitchen80" << QByteArray(R"({"code":200})") << "kitchen80";
    QTest::newRow("no name") << QString() << QByteArray(R"({"code":1})") << "receipt58";
    QTest::newRow("other case") << "KITCHEN80" << QByteArray(R"({"code":1})") << "receipt58";
}

void TestPrintRoad::receiptReachesItsPrinter()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, answer);
    QFETCH(QString, queue);

    const int before = PrintedJobs::lastId();
    QCOMPARE(post(receipt(QStringLiteral("ROAD-%1").arg(queue), QString(), name)), answer);
    // Without a logo a receipt waits out the logo time first.
    const QList<PrintedJobs::Job> printed = PrintedJobs::waitFor(before, 1);
    QCOMPARE(printed.size(), 1);
    QCOMPARE(printed.first().queue, queue);
    QVERIFY(PrintedJobs::text(printed.first().document).contains(QStringLiteral("ROAD-%1").arg(queue)));
}

void TestPrintRoad::logoIsFetchedAndPrinted()
{
    const QString url = m_logos.url(QStringLiteral("/shop.png"));
    const int before = PrintedJobs::lastId();
    QCOMPARE(post(receipt(QStringLiteral("WITH-LOGO"), url)), QByteArray(R"({"code":1})"));

    const QList<PrintedJobs::Job> printed = PrintedJobs::waitFor(before, 1);
    QCOMPARE(printed.size(), 1);
    QCOMPARE(PrintedJobs::imageCount(printed.first().document), 1);
    QCOMPARE(m_logos.requests(QStringLiteral("/shop.png")), 1);
    QVERIFY(QFile::exists(m_app->fileLoader()->logoPath(FileLoader::fileNameFor(url))));
}

// Three receipts behind a logo that never comes: the window's count shows
// all three, then falls as each prints, in order.
void TestPrintRoad::countFollowsTheQueue()
{
    QTRY_COMPARE(m_app->printQuantity(), 0);
    m_counts.clear();
    const int before = PrintedJobs::lastId();
    post(receipt(QStringLiteral("QUEUED-1"), m_logos.url(QStringLiteral("/never.png"))));
    post(receipt(QStringLiteral("QUEUED-2")));
    post(receipt(QStringLiteral("QUEUED-3")));
    QCOMPARE(m_app->printQuantity(), 3);

    const QList<PrintedJobs::Job> printed = PrintedJobs::waitFor(before, 3);
    QCOMPARE(printed.size(), 3);
    for (int i = 0; i < 3; ++i)
        QVERIFY(PrintedJobs::text(printed.at(i).document).contains(QStringLiteral("QUEUED-%1").arg(i + 1)));
    QTRY_COMPARE(m_app->printQuantity(), 0);
    // The print thread's signals arrive queued and the window reads the
    // count on arrival, so after the rise it only ever falls, to 0.
    QTRY_COMPARE(m_counts.value(m_counts.size() - 1, -1), 0);
    // (A signal of the previous print may still arrive first.)
    const int top = m_counts.indexOf(3);
    QVERIFY(top >= 2);
    QCOMPARE(m_counts.mid(top - 2, 3), QList<int>({1, 2, 3}));
    for (int i = top + 1; i < m_counts.size(); ++i)
        QVERIFY(m_counts.at(i) <= m_counts.at(i - 1));
}

// Runs last: settings stay in the renderer's table for the whole process.
void TestPrintRoad::settingsLayOutTheNextReceipt()
{
    const QJsonObject settings = QJsonDocument::fromJson(
        R"({"Msg":"Settings","data":[{"Name":"receipt58","PrinterLeft":5,"Width":58,"Height":0}]})").object();
    QCOMPARE(post(settings), QByteArray(R"({"code":200})"));

    const int before = PrintedJobs::lastId();
    post(receipt(QStringLiteral("NARROW")));
    const QList<PrintedJobs::Job> printed = PrintedJobs::waitFor(before, 1);
    QCOMPARE(printed.size(), 1);
    QVERIFY(qAbs(PrintedJobs::pageSizePt(printed.first().document).width() - 58 * 72 / 25.4) < 1.0);
    const qreal left = PrintedJobs::textLeftPt(printed.first().document);
    QVERIFY2(left >= 20 && left < 25, qPrintable(QString::number(left)));
}

int main(int argc, char **argv)
{
    return runWithHarnessApp<CMainApp, TestPrintRoad>(argc, argv);
}

#include "tst_printroad.moc"
