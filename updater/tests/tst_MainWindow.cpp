#include "common/QmlWindow.h"
#include "tests/support/PrivateAppFolder.h"
#include "tests/support/TestSupport.h"
#include "updater/MainWindow.h"
#include "updater/UpdaterResources.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

// The updater's application object in this process, from a private copy of
// the test program, with its real progress window under the harness's X
// server. Its runs are fed through data: URLs, so no server is needed.
class TestMainWindow : public QObject
{
    Q_OBJECT

public:
    explicit TestMainWindow(MainWindow *app) : m_app(app) {}

    // An answer that is no JSON object: the run ends at once.
    static QByteArray idleConf() { return R"({"url": "data:text/plain,wait", "silent": "0"})"; }

private slots:
    void initTestCase();
    void cleanupTestCase() { m_engine.reset(); }

    void windowIsFixedAndHidden();
    void progressFollowsBytes_data();
    void progressFollowsBytes();
    void barShowsProgress();

private:
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
