#include "common/QmlWindow.h"
#include "platform/EventDispatcher.h"
#include "service/app/MainApp.h"
#include "service/app/ServiceMain.h"
#include "service/printing/PrinterQueue.h"
#include "tests/support/TestSupport.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// The real window of the service under the harness's X server, with the
// application object behind it.
class TestMainWindow : public QObject
{
    Q_OBJECT

public:
    TestMainWindow(CMainApp &app, QTcpServer &portHolder) : m_app(app), m_portHolder(portHolder) {}

private slots:
    void initTestCase();
    void cleanupTestCase();

    void takenPortShowsInHintLine();
    void windowShowsTitleAndFixedSize();
    void printerProblemShowsInHintLine();
    void counterFollowsPrintQuantity();
    void closingOnlyHides();
    void trayMenuShowsHidesAndQuits();

private:
    QObject *findByText(const QString &text) const;
    static int redPixels(const QImage &image);

    CMainApp &m_app;
    QTcpServer &m_portHolder;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
};

void TestMainWindow::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    m_engine = QmlWindow::load(&m_app);
    QCOMPARE(m_engine->rootObjects().size(), 1);
    m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
    QVERIFY(m_window);
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestMainWindow::cleanupTestCase()
{
    m_engine.reset();
}

QObject *TestMainWindow::findByText(const QString &text) const
{
    const QList<QObject *> objects = m_window->findChildren<QObject *>();
    for (QObject *object : objects) {
        if (object->property("text").toString() == text)
            return object;
    }
    return nullptr;
}

int TestMainWindow::redPixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 180 && c.green() < 90 && c.blue() < 90)
                ++count;
        }
    }
    return count;
}

// The port was taken before the service started (see main): the hint line
// says so until the port is free and the service has it.
void TestMainWindow::takenPortShowsInHintLine()
{
    QObject *hint = m_window->findChild<QObject *>("hintText");
    QVERIFY(hint);
    QVERIFY(m_portHolder.isListening());
    QCOMPARE(hint->property("text").toString(), QString("端口12380被占用，收银台暂时无法打印，正在重试……"));
    QVERIFY(m_window->grabWindow().save(TestSupport::artifactDir() + "/mainwindow-port-taken.png"));

    m_portHolder.close();
    QTRY_COMPARE_WITH_TIMEOUT(hint->property("text").toString(), QString("Velmora收银台打印小票必须运行Velmora打印控件"),
                              10000);
    QTcpSocket cashier;
    cashier.connectToHost(QStringLiteral("127.0.0.1"), 12380);
    QVERIFY(cashier.waitForConnected(3000));
    cashier.write("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}");
    QByteArray answer;
    QTRY_VERIFY((answer += cashier.readAll()).startsWith("HTTP/1.1 200 OK"));
}

void TestMainWindow::windowShowsTitleAndFixedSize()
{
    QVERIFY(m_window->isVisible());
    QCOMPARE(m_window->size(), QSize(500, 300));
    QCOMPARE(m_window->minimumSize(), QSize(500, 300));
    QCOMPARE(m_window->maximumSize(), QSize(500, 300));
    // The harness gives the service one LAN address.
    QCOMPARE(m_app.getAddressIP(), qEnvironmentVariable("KORVEL_SVC_ADDR"));
    QCOMPARE(m_app.getBroadcast(), qEnvironmentVariable("KORVEL_SVC_BCAST"));
    QCOMPARE(m_window->title(), "Velmora打印控件 V1.2.29  (" + m_app.getAddressIP() + " : 12380)");

    QObject *hint = m_window->findChild<QObject *>("hintText");
    QVERIFY(hint);
    QCOMPARE(hint->property("text").toString(), QString("Velmora收银台打印小票必须运行Velmora打印控件"));
    QObject *checkBox = m_window->findChild<QObject *>("powerBootBox");
    QVERIFY(checkBox);
    QVERIFY(!checkBox->property("visible").toBool());
}

// Receipts waiting for a printer: the hint line says why, in red, until
// they can print.
void TestMainWindow::printerProblemShowsInHintLine()
{
    QObject *hint = m_window->findChild<QObject *>("hintText");
    QVERIFY(hint);
    const QString idle = QStringLiteral("Velmora收银台打印小票必须运行Velmora打印控件");
    const QString problem = QStringLiteral("没有可用的打印机（或打印服务无法连接），小票等待中");
    emit m_app.printerQueue()->printerProblemChanged(problem);
    QTRY_COMPARE(hint->property("text").toString(), problem);
    QCOMPARE(hint->property("color").value<QColor>(), QColor(Qt::red));
    QVERIFY(m_window->grabWindow().save(TestSupport::artifactDir() + "/mainwindow-no-printer.png"));
    emit m_app.printerQueue()->printerProblemChanged(QString());
    QTRY_COMPARE(hint->property("text").toString(), idle);
}

void TestMainWindow::counterFollowsPrintQuantity()
{
    QObject *counter = m_window->findChild<QObject *>("printQuantityText");
    QVERIFY(counter);
    m_app.setPrintQuantity(0);
    QCOMPARE(counter->property("text").toString(), QString("正在运行，等待打印：<font color=\"red\">0"));
    const QImage idle = m_window->grabWindow();

    QSignalSpy changed(&m_app, &CMainApp::printQuantityChanged);
    m_app.setPrintQuantity(3);
    m_app.setPrintQuantity(3);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(counter->property("text").toString(), QString("正在运行，等待打印：<font color=\"red\">3"));

    const QImage busy = m_window->grabWindow();
    QVERIFY(busy.save(TestSupport::artifactDir() + "/mainwindow.png"));
    QCOMPARE(busy.size(), QSize(500, 300) * m_window->effectiveDevicePixelRatio());
    // The count is drawn in red; the hint in grey and the rest in black.
    QVERIFY(redPixels(idle) > 10);
    QVERIFY(redPixels(busy) > 10);
    QVERIFY(idle != busy);
}

void TestMainWindow::closingOnlyHides()
{
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
    QVERIFY(m_window->close() == false || !m_window->isVisible());
    QTRY_VERIFY(!m_window->isVisible());
    QCOMPARE(m_engine->rootObjects().size(), 1);
}

void TestMainWindow::trayMenuShowsHidesAndQuits()
{
    QObject *show = findByText("打开主界面");
    QObject *hide = findByText("隐藏窗口");
    QObject *quit = findByText("关闭程序");
    QVERIFY(show && hide && quit);

    QMetaObject::invokeMethod(show, "triggered");
    QTRY_VERIFY(m_window->isVisible());
    QMetaObject::invokeMethod(hide, "triggered");
    QTRY_VERIFY(!m_window->isVisible());

    QTimer::singleShot(0, quit, [quit] { QMetaObject::invokeMethod(quit, "triggered"); });
    QCOMPARE(m_app.exec(), 0);
}

int main(int argc, char **argv)
{
    // The service's own event loop: the window's expose, the X server's
    // replies and the tray all come through it, as in the service.
    EventDispatcher *loop = installServiceEventLoop();
    if (!loop) {
        qCritical("the service's event loop could not be installed");
        return 1;
    }
    initKorvelResources();
    QmlWindow::useSoftwareRendering();
    // Another program holds the command port when the service starts.
    QTcpServer portHolder;
    portHolder.listen(QHostAddress::Any, 12380);
    CMainApp app(argc, argv);
    attachWindowSystem(loop, &app);
    TestMainWindow test(app, portHolder);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
