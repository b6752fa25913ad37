#include "service/app/MainApp.h"
#include "service/http/CommandDispatcher.h"
#include "service/printing/PrinterCache.h"
#include "service/testsupport/HarnessAppMain.h"
#include "tests/support/TestSupport.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QtTest>

#include <cstdlib>

namespace {

// A print server address whose packets vanish, inside the harness's own
// network namespace: routed to the loopback device, where no local address
// takes them, so they are dropped without an answer.
const char DeadServer[] = "10.77.250.2";

bool routeToNowhere()
{
    return std::system("ip route replace 10.77.250.0/24 dev lo") == 0;
}

} // namespace

// The service with an unreachable print server: the command server still
// answers at once; only the printer list is empty.
class TestPrintServerDown : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void lookupEndsPromptlyOnStop();
    void commandsAnswerWhileTheLookupHangs();
};

void TestPrintServerDown::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    QCOMPARE(qgetenv("CUPS_SERVER"), QByteArray(DeadServer));
    // The address really drops packets: a connection neither succeeds nor fails.
    QTcpSocket probe;
    probe.connectToHost(QString::fromLatin1(DeadServer), 631);
    QVERIFY(!probe.waitForConnected(500));
    QCOMPARE(probe.error(), QAbstractSocket::SocketTimeoutError);
}

// Teardown ends the look-up under way instead of waiting it out.
void TestPrintServerDown::lookupEndsPromptlyOnStop()
{
    PrinterCache cache;
    cache.start();
    QVERIFY(cache.printers().isEmpty()); // gave up waiting for the first list
    QVERIFY(cache.isRunning());
    QElapsedTimer stopping;
    stopping.start();
    cache.stop();
    QVERIFY2(stopping.elapsed() < 1000, qPrintable(QString::number(stopping.elapsed())));
}

// Last: the queued receipt must not reach its print before the teardown.
void TestPrintServerDown::commandsAnswerWhileTheLookupHangs()
{
    auto *app = qobject_cast<CMainApp *>(qApp);
    QVERIFY(app);
    // The first answer may wait a moment for the first list; none waits for
    // the print server's time-outs.
    const int boundMs = 2500;
    // Both commands answer at once, never later from the event loop.
    auto answerTo = [app](const QByteArray &body) {
        QString text;
        app->dispatcher()->dispatchCommand(body, [&text](const QString &answer) { text = answer; });
        return text;
    };
    QElapsedTimer answered;
    answered.start();
    QCOMPARE(answerTo(R"({"Msg":"PrinterStatus"})"), QStringLiteral("{\"code\":200, \"data\":[\n]\n}"));
    QVERIFY2(answered.elapsed() < boundMs, qPrintable(QString::number(answered.elapsed())));

    answered.restart();
    QCOMPARE(answerTo(R"({"data":"<p>x</p>","Name":"receipt58"})"), QStringLiteral(R"({"code":1})"));
    QVERIFY2(answered.elapsed() < boundMs, qPrintable(QString::number(answered.elapsed())));

    // With no printer listed the receipt is kept, counted, and the window
    // says why.
    QTRY_VERIFY_WITH_TIMEOUT(!app->printerProblem().isEmpty(), 5000);
    QCOMPARE(app->printQuantity(), 1);
}


int main(int argc, char **argv)
{
    if (TestSupport::inHarness()) {
        if (!routeToNowhere())
            return 2;
        qputenv("CUPS_SERVER", DeadServer);
    }
    return runWithHarnessApp<CMainApp, TestPrintServerDown>(argc, argv);
}

#include "tst_printserverdown.moc"
