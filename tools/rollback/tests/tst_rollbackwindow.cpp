#include "common/QmlWindow.h"
#include "common/SingleInstance.h"
#include "tests/support/PrivateAppFolder.h"
#include "tests/support/TestSupport.h"
#include "tools/rollback/MainWindow.h"
#include "tools/rollback/RollbackWindow.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QtTest>

// The rollback tool's window under the harness's X server, run from an
// Updater folder inside a private service folder.
class TestRollbackWindow : public QObject
{
    Q_OBJECT

public:
    explicit TestRollbackWindow(MainWindow &app) : m_app(app) {}

private slots:
    void initTestCase();
    void windowAsDescribed();
    void okRollsBackAndEnds();
    void secondStartExitsAtOnce();

private:
    QString service(const QString &name) const { return m_app.applicationDirPath() + "/../" + name; }
    void click(const char *objectName);

    MainWindow &m_app;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
};

void TestRollbackWindow::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    QVERIFY(TestSupport::writeFile(service("Korvel"), "version 2"));
    QVERIFY(TestSupport::writeFile(m_app.applicationDirPath() + "/Korvel-old", "version 1"));
    m_engine = loadRollbackWindow(m_app);
    QCOMPARE(m_engine->rootObjects().size(), 1);
    m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
    QVERIFY(m_window);
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestRollbackWindow::click(const char *objectName)
{
    auto *button = m_window->findChild<QQuickItem *>(objectName);
    QVERIFY(button);
    const QPointF centre = button->mapToScene(QPointF(button->width() / 2, button->height() / 2));
    QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

void TestRollbackWindow::windowAsDescribed()
{
    QCOMPARE(m_window->size(), QSize(400, 200));
    QCOMPARE(m_window->minimumSize(), QSize(400, 200));
    QCOMPARE(m_window->maximumSize(), QSize(400, 200));
    QCOMPARE(m_window->title(), QString("版本回退"));
    QCOMPARE(m_window->findChild<QObject *>("textTitle")->property("text").toString(),
             QString(" 是否要进行版本回退？\n回退后无法回到当前版本"));
    QCOMPARE(m_window->findChild<QObject *>("btnClose")->property("title").toString(), QString("取消"));
    QObject *ok = m_window->findChild<QObject *>("btnOk");
    QCOMPARE(ok->property("title").toString(), QString("确定"));
    QCOMPARE(ok->property("color").value<QColor>(), QColor("skyblue"));
    QVERIFY(m_window->grabWindow().save(TestSupport::artifactDir() + "/rollback.png"));
}

void TestRollbackWindow::okRollsBackAndEnds()
{
    QSignalSpy quit(m_engine.get(), &QQmlEngine::quit);
    click("btnOk");
    QTRY_COMPARE(quit.count(), 1);
    QVERIFY(!m_window->isVisible());
    QCOMPARE(TestSupport::readAll(service("Korvel")), QByteArray("version 1"));
    QVERIFY(!QFile::exists(m_app.applicationDirPath() + "/Korvel-old"));
}

void TestRollbackWindow::secondStartExitsAtOnce()
{
    SingleInstance open(QStringLiteral("QXFallback"), QStringLiteral("QXFallbackObject"));
    QVERIFY(open.acquire());
    QProcess second;
    second.start(TestSupport::builtProgram("tools/rollback/Tamrow"), QStringList());
    QVERIFY(second.waitForFinished(20000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
}

int main(int argc, char **argv)
{
    int status = 0;
    if (PrivateAppFolder::rerunFromCopy(argv, &status, QStringLiteral("Updater")))
        return status;
    QmlWindow::useSoftwareRendering();
    MainWindow app(argc, argv);
    TestRollbackWindow test(app);
    return QTest::qExec(&test, argc, argv);
}

#include "tst_rollbackwindow.moc"
