// The test-print page in a real browser: served from another origin, it
// lists the printers and prints through this process's service with a JSON
// body (the browser sends a preflight first) and with a plain-text body.

#include "service/app/MainApp.h"
#include "service/testsupport/HarnessAppMain.h"
#include "service/testsupport/LogCapture.h"
#include "tests/support/PrintedJobs.h"
#include "tests/support/TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

namespace {

// The page's own web server: serves the page, notes when the page is about
// to click (GET /click?kind=…) and keeps what it reports (POST /report).
class OriginServer : public QTcpServer
{
public:
    OriginServer(const QByteArray &page, QElapsedTimer &clock) : m_page(page), m_clock(clock) {}

    QHash<QString, qint64> clicks; // kind -> ms on the test's clock
    QByteArray report;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(descriptor);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    void serve(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray header = buffer.left(end);
        const int length = contentLength(header);
        if (buffer.size() < end + 4 + length)
            return;
        const QByteArray body = buffer.mid(end + 4, length);
        m_buffers.remove(socket);

        const QList<QByteArray> requestLine = header.left(header.indexOf("\r\n")).split(' ');
        const QByteArray target = requestLine.value(1);
        if (target.startsWith("/cashier.html")) {
            answer(socket, "200 OK", "text/html; charset=utf-8", m_page);
            return;
        }
        if (target.startsWith("/click?kind="))
            clicks.insert(QString::fromLatin1(target.mid(12)), m_clock.elapsed());
        else if (target == "/report")
            report = body;
        else {
            answer(socket, "404 Not Found", "text/plain", QByteArray());
            return;
        }
        answer(socket, "204 No Content", "text/plain", QByteArray());
    }

    static int contentLength(const QByteArray &header)
    {
        for (const QByteArray &line : header.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                return line.mid(15).trimmed().toInt();
        }
        return 0;
    }

    static void answer(QTcpSocket *socket, const QByteArray &status, const QByteArray &type, const QByteArray &body)
    {
        socket->write("HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QByteArray m_page;
    QElapsedTimer &m_clock;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

} // namespace

class TestCashierPage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void pagePrintsWithBothContentTypes();

private:
    QString m_chromium;
    std::optional<LogCapture> m_log;
};

void TestCashierPage::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    m_chromium = QStandardPaths::findExecutable(QStringLiteral("chromium"));
    if (m_chromium.isEmpty())
        QSKIP("chromium is not installed");
    m_log.emplace();
    // The service of this process has its command port.
    QTRY_VERIFY_WITH_TIMEOUT(
        [] {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), 12380);
            return probe.waitForConnected(200);
        }(),
        10000);
}

void TestCashierPage::pagePrintsWithBothContentTypes()
{
    QFile pageFile(QStringLiteral(KORVEL_SOURCE_DIR "/examples/cashier.html"));
    QVERIFY(pageFile.open(QIODevice::ReadOnly));
    QElapsedTimer clock;
    clock.start();
    OriginServer origin(pageFile.readAll(), clock);
    QVERIFY(origin.listen(QHostAddress::LocalHost));

    QTemporaryDir profile;
    const QString screenshot = TestSupport::artifactDir() + QStringLiteral("/cashier-page.png");
    QFile::remove(screenshot);
    const QString url = QStringLiteral("http://127.0.0.1:%1/cashier.html?auto=PAGE&printer=receipt58")
                            .arg(origin.serverPort());
    m_log->mark();
    const int before = PrintedJobs::lastId();

    QProcess browser;
    browser.setStandardOutputFile(QProcess::nullDevice());
    browser.setStandardErrorFile(QProcess::nullDevice());
    // The screenshot is taken once the page has been idle for the budget;
    // virtual time stands still while its requests are under way.
    browser.start(m_chromium, {QStringLiteral("--headless"), QStringLiteral("--no-sandbox"),
                               QStringLiteral("--disable-gpu"), QStringLiteral("--no-first-run"),
                               QStringLiteral("--disable-background-networking"),
                               QStringLiteral("--disable-component-update"), QStringLiteral("--disable-sync"),
                               QStringLiteral("--user-data-dir=") + profile.path(),
                               QStringLiteral("--window-size=800,1000"), QStringLiteral("--virtual-time-budget=5000"),
                               QStringLiteral("--screenshot=") + screenshot, url});
    const auto stopBrowser = qScopeGuard([&browser] {
        if (browser.state() != QProcess::NotRunning) {
            browser.kill();
            browser.waitForFinished(5000);
        }
    });
    QVERIFY(browser.waitForStarted(10000));
    // When each receipt entered the print queue (the JSON one first).
    auto *app = qobject_cast<CMainApp *>(qApp);
    QVERIFY(app);
    QList<qint64> queued;
    int lastCount = app->printQuantity();
    connect(app, &CMainApp::printQuantityChanged, this, [&] {
        if (app->printQuantity() > lastCount)
            queued.append(clock.elapsed());
        lastCount = app->printQuantity();
    });

    // Each receipt's arrival in the spool, on the clock of the clicks.
    QHash<QString, qint64> spooled;
    QList<PrintedJobs::Job> jobs;
    const bool done = QTest::qWaitFor(
        [&] {
            jobs = PrintedJobs::since(before);
            for (const PrintedJobs::Job &job : qAsConst(jobs)) {
                const QString text = PrintedJobs::text(job.document);
                for (const QString &kind : {QStringLiteral("json"), QStringLiteral("text")}) {
                    if (!spooled.contains(kind) && text.contains(QStringLiteral("PAGE") + kind.toUpper()))
                        spooled.insert(kind, clock.elapsed());
                }
            }
            return spooled.size() == 2 && !origin.report.isEmpty();
        },
        60000);
    QVERIFY2(done, qPrintable(QStringLiteral("report: %1; jobs: %2; first: %3")
                                  .arg(QString::fromUtf8(origin.report), QString::number(jobs.size()),
                                       jobs.isEmpty() ? QString() : PrintedJobs::text(jobs.first().document))));

    // Both answers reached the page: the preflight let the JSON one through.
    const QJsonObject report = QJsonDocument::fromJson(origin.report).object();
    QCOMPARE(report.value(QStringLiteral("json")).toObject().value(QStringLiteral("code")).toInt(), 200);
    QCOMPARE(report.value(QStringLiteral("text")).toObject().value(QStringLiteral("code")).toInt(), 200);
    QVERIFY(!m_log->linesWith(QStringLiteral("http连接CORS预检请求")).isEmpty());
    // The page's own logo, written inline with a width only, is on both.
    QCOMPARE(jobs.size(), 2);
    for (const PrintedJobs::Job &job : qAsConst(jobs))
        QCOMPARE(PrintedJobs::imageCount(job.document), 1);

    QVERIFY(QTest::qWaitFor([&browser] { return browser.state() == QProcess::NotRunning; }, 60000));
    QVERIFY2(QFile::exists(screenshot), qPrintable(screenshot));
    // Timings for the record; the page's own clock runs on virtual time.
    for (int i = 0; i < 2; ++i) {
        const QString kind = i == 0 ? QStringLiteral("json") : QStringLiteral("text");
        const qint64 click = origin.clicks.value(kind);
        qInfo("%s body: click to queued %lld ms, click to spool %lld ms", qPrintable(kind),
              queued.value(i, -1) - click, spooled.value(kind) - click);
    }
}

int main(int argc, char **argv)
{
    return runWithHarnessApp<CMainApp, TestCashierPage>(argc, argv);
}

#include "tst_cashierpage.moc"
