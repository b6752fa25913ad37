#include "common/CoordinationProtocol.h"
#include "common/QmlWindow.h"
#include "tests/support/PrivateAppFolder.h"
#include "tests/support/TestSupport.h"
#include "updater/MainWindow.h"
#include "updater/UpdaterResources.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QUdpSocket>
#include <QtTest>

using Protocol = CoordinationProtocol;

// The updater's application object in this process, from a private copy of
// the test program, with its real progress window under the harness's X
// server. Its runs are fed through data: URLs, so no server is needed.
class TestMainWindow : public QObject
{
    Q_OBJECT

public:
    explicit TestMainWindow(MainWindow *app) : m_app(app) {}

    // An answer that is no JSON object: the run waits for its watchdog.
    static QByteArray idleConf() { return R"({"url": "data:text/plain,wait", "silent": "0"})"; }

private slots:
    void initTestCase();
    void cleanupTestCase() { m_engine.reset(); }

    void windowIsFixedAndHidden();
    void progressFollowsBytes_data();
    void progressFollowsBytes();
    void barShowsProgress();
    void startDelayIsAtLeast200Ms_data();
    void startDelayIsAtLeast200Ms();
    // Order matters: a run downloads once, and both end the run.
    void askedRunShowsWindowForDownload();
    void silentRunNeverShowsWindow();

private:
    void checkWithAnswer(const QJsonObject &answer, quint32 silent);
    QQuickItem *item(const char *name) const { return m_window->findChild<QQuickItem *>(name); }

    MainWindow *m_app;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
};

void TestMainWindow::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    m_engine = QmlWindow::load(m_app);
    QCOMPARE(m_engine->rootObjects().size(), 1);
    m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
    QVERIFY(m_window);
}

void TestMainWindow::windowIsFixedAndHidden()
{
    QVERIFY(!m_window->isVisible());
    QCOMPARE(m_window->title(), QString("程序升级中..."));
    QCOMPARE(m_window->size(), QSize(380, 50));
    QCOMPARE(m_window->minimumSize(), QSize(380, 50));
    QCOMPARE(m_window->maximumSize(), QSize(380, 50));
}

void TestMainWindow::progressFollowsBytes_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("progress");

    QTest::newRow("half") << qint64(512) << qint64(1024) << qint64(50);
    QTest::newRow("truncated") << qint64(1023) << qint64(1024) << qint64(99);
    QTest::newRow("beyond 32 bits") << qint64(4500000000) << qint64(9000000001) << qint64(49);
    QTest::newRow("size unreported") << qint64(512) << qint64(-1) << qint64(7);
    QTest::newRow("size 0") << qint64(512) << qint64(0) << qint64(7);
}

void TestMainWindow::progressFollowsBytes()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(qint64, progress);

    m_app->setProgress(7);
    QSignalSpy changes(m_app, &MainWindow::progressChanged);
    QVERIFY(QMetaObject::invokeMethod(m_app, "updateProgressBar", Q_ARG(qint64, received), Q_ARG(qint64, total)));
    QVERIFY(QMetaObject::invokeMethod(m_app, "updateProgressBar", Q_ARG(qint64, received), Q_ARG(qint64, total)));
    QCOMPARE(m_app->progress(), progress);
    QCOMPARE(changes.count(), progress == 7 ? 0 : 1);
    QCOMPARE(item("rectBkgnd")->width(), progress * 3.5);
    QCOMPARE(item("textSung")->property("text").toString(), QString::number(progress) + "%");
}

void TestMainWindow::barShowsProgress()
{
    QMetaObject::invokeMethod(m_app, "updateProgressBar", Q_ARG(qint64, 512), Q_ARG(qint64, 1024));
    emit m_app->showProgressbarChanged(true);
    QVERIFY(QTest::qWaitForWindowExposed(m_window));

    const QImage shot = m_window->grabWindow();
    QVERIFY(shot.save(TestSupport::artifactDir() + "/updater-progress.png"));
    // Above the percentage text the bar is the only thing drawn.
    const int row = int(11 * m_window->effectiveDevicePixelRatio());
    QList<int> green;
    for (int x = 0; x < shot.width(); ++x) {
        if (shot.pixelColor(x, row) == QColor("#77dd77"))
            green.append(x);
    }
    QCOMPARE(green.size(), 175);
    QCOMPARE(green.first(), 15);
    QCOMPARE(green.last(), 189);

    emit m_app->showProgressbarChanged(false);
    QTRY_VERIFY(!m_window->isVisible());
}

void TestMainWindow::startDelayIsAtLeast200Ms_data()
{
    QTest::addColumn<quint32>("startTime");
    QTest::addColumn<quint32>("delay");
    QTest::newRow("0") << 0u << 200u;
    QTest::newRow("199") << 199u << 200u;
    QTest::newRow("200") << 200u << 200u;
    QTest::newRow("5000") << 5000u << 5000u;
}

void TestMainWindow::startDelayIsAtLeast200Ms()
{
    QFETCH(quint32, startTime);
    QFETCH(quint32, delay);
    QCOMPARE(MainWindow::startDelayMs(startTime), delay);
}

// A run whose answer offers version 9 of a package with a wrong checksum.
void TestMainWindow::checkWithAnswer(const QJsonObject &answer, quint32 silent)
{
    const QByteArray url = "data:application/json," + QJsonDocument(answer).toJson(QJsonDocument::Compact).toPercentEncoding();
    const QJsonObject conf{{"url", QString::fromLatin1(url)}, {"silent", QString::number(silent)}};
    QVERIFY(TestSupport::writeFile(m_app->applicationDirPath() + "/Update.conf", QJsonDocument(conf).toJson()));
    QFile::remove(m_app->applicationDirPath() + "/update.zip");
    m_app->checkForUpdate();
}

void TestMainWindow::askedRunShowsWindowForDownload()
{
    QUdpSocket service;
    QVERIFY(service.bind(QHostAddress(QHostAddress::LocalHost), Protocol::ServicePort));
    QSignalSpy shown(m_app, &MainWindow::showProgressbarChanged);
    checkWithAnswer({{"version", 9}, {"url", "data:,asked"}, {"hash", 1}}, 0);

    QTRY_VERIFY(service.hasPendingDatagrams());
    const QString token = Protocol::parse(Protocol::takePendingDatagrams(service).first()).time;
    service.writeDatagram(Protocol::answer("IsUpdated", token), QHostAddress(QHostAddress::LocalHost),
                          Protocol::UpdaterPort);
    QTRY_COMPARE(TestSupport::readAll(m_app->applicationDirPath() + "/update.zip"), QByteArray("asked"));
    QCOMPARE(shown.size(), 1);
    QCOMPARE(shown.first().first().toBool(), true);
    // A refused package leaves the window as it is; the run ends.
    emit m_app->showProgressbarChanged(false);
}

void TestMainWindow::silentRunNeverShowsWindow()
{
    QSignalSpy shown(m_app, &MainWindow::showProgressbarChanged);
    checkWithAnswer({{"version", 9}, {"url", "data:,silent"}, {"hash", 1}}, 1);
    QTRY_COMPARE(TestSupport::readAll(m_app->applicationDirPath() + "/update.zip"), QByteArray("silent"));
    QVERIFY(shown.isEmpty());
    QVERIFY(!m_window->isVisible());
}

int main(int argc, char **argv)
{
    int status = 0;
    if (PrivateAppFolder::rerunFromCopy(argv, &status))
        return status;
    // The listener binds the coordination port: only inside the harness.
    if (!TestSupport::inHarness()) {
        QCoreApplication app(argc, argv);
        TestMainWindow test(nullptr);
        return QTest::qExec(&test, argc, argv);
    }
    TestSupport::writeFile(qEnvironmentVariable(PrivateAppFolder::MarkerVariable) + "/Update.conf",
                           TestMainWindow::idleConf());
    QmlWindow::useSoftwareRendering();
    initUpdaterResources();
    MainWindow app(argc, argv);
    TestMainWindow test(&app);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MainWindow.moc"
