#include "common/QmlWindow.h"
#include "platform/RunKey.h"
#include "tests/support/TestSupport.h"
#include "tools/cleaner/CleanerMain.h"
#include "tools/cleaner/KorvelCleaner.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QtTest>

// Plays the desktop's file manager on a private session bus.
class FileManagerStandIn : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public:
    QStringList shown;

public slots:
    void ShowItems(const QStringList &uris, const QString &) { shown << uris; }
};

// The cleaner's window under the harness's X server: a cleanup that
// succeeds, one that fails, and the failure dialog's way to the folder.
class TestCleanerWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void windowAsDescribed();
    void successDialog();
    void failureDialogShowsTheFolder();

private:
    void startSessionBus();
    QString makeService(const QString &name);
    void click(QQuickItem *item);
    QQuickItem *item(const char *objectName) const;

    QTemporaryDir m_dir;
    QProcess m_bus;
    FileManagerStandIn m_fileManager;
    std::unique_ptr<KorvelCleaner> m_cleaner;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
    QString m_locked;
};

void TestCleanerWindow::startSessionBus()
{
    m_bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    QVERIFY2(m_bus.waitForStarted(), "dbus-daemon is missing");
    QTRY_VERIFY(m_bus.canReadLine());
    const QByteArray address = m_bus.readLine().trimmed();
    // Before anything opens the session bus, so that the cleaner uses this one.
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    QDBusConnection fileManager = QDBusConnection::connectToBus(QString::fromUtf8(address), "filemanager");
    QVERIFY(fileManager.registerObject("/org/freedesktop/FileManager1", &m_fileManager, QDBusConnection::ExportAllSlots));
    QVERIFY(fileManager.registerService("org.freedesktop.FileManager1"));
}

void TestCleanerWindow::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    startSessionBus();
    // Without a file manager the folder goes to the default handler: this
    // one writes down what it was given.
    const QString handler = m_dir.filePath("bin/xdg-open");
    QVERIFY(QDir().mkpath(m_dir.filePath("bin")));
    QVERIFY(TestSupport::writeFile(handler, "#!/bin/sh\necho \"$@\" >> '" + m_dir.filePath("opened").toUtf8() + "'\n"));
    QVERIFY(QFile::setPermissions(handler, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("PATH", m_dir.filePath("bin").toUtf8() + ":" + qgetenv("PATH"));
    qunsetenv("XDG_CURRENT_DESKTOP");
    qputenv("XDG_CONFIG_HOME", m_dir.filePath("config").toUtf8());

    m_cleaner = std::make_unique<KorvelCleaner>();
    m_engine = loadCleanerWindow(*m_cleaner);
    QCOMPARE(m_engine->rootObjects().size(), 1);
    m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
    QVERIFY(m_window);
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void TestCleanerWindow::cleanupTestCase()
{
    if (!m_locked.isEmpty())
        TestSupport::makeWritable(m_locked);
    m_engine.reset();
    m_bus.kill();
    m_bus.waitForFinished();
}

QString TestCleanerWindow::makeService(const QString &name)
{
    const QString program = m_dir.filePath(name + "/Korvel");
    QDir().mkpath(m_dir.filePath(name + "/Updater"));
    TestSupport::writeFile(m_dir.filePath(name + "/Updater/Update.conf"), "{}");
    TestSupport::writeFile(program, "service");
    RunKey().setValue("Korvel", program);
    return m_dir.filePath(name);
}

QQuickItem *TestCleanerWindow::item(const char *objectName) const
{
    return m_window->findChild<QQuickItem *>(objectName);
}

void TestCleanerWindow::click(QQuickItem *item)
{
    QVERIFY(item);
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
}

void TestCleanerWindow::windowAsDescribed()
{
    QCOMPARE(m_window->size(), QSize(500, 300));
    QCOMPARE(m_window->title(), QString("Velmora服务端工具集"));
    QQuickItem *button = item("removePackageButton");
    QVERIFY(button);
    QCOMPARE(button->property("title").toString(), QString("删除免安装打印控件程序包"));
    QCOMPARE(button->width(), 480.0);
    QCOMPARE(button->height(), 50.0);
}

void TestCleanerWindow::successDialog()
{
    const QString folder = makeService("svc");
    QObject *dialog = m_window->findChild<QObject *>("successDialog");
    QVERIFY(dialog);
    click(item("removePackageButton"));
    QTRY_VERIFY(dialog->property("opened").toBool());
    QVERIFY(!QFile::exists(folder));
    QVERIFY(m_window->grabWindow().save(TestSupport::artifactDir() + "/cleaner.png"));

    QMetaObject::invokeMethod(dialog, "accept");
    QTRY_VERIFY(!dialog->property("visible").toBool());
}

void TestCleanerWindow::failureDialogShowsTheFolder()
{
    // A folder that cannot be emptied makes the removal fail.
    const QString folder = makeService("busy");
    m_locked = folder + "/locked";
    QVERIFY(QDir().mkpath(m_locked));
    QVERIFY(TestSupport::writeFile(m_locked + "/in-use.dat", "data"));
    QVERIFY(TestSupport::makeUnwritable(m_locked));
    QObject *dialog = m_window->findChild<QObject *>("failureDialog");
    QVERIFY(dialog);

    click(item("removePackageButton"));
    QTRY_VERIFY_WITH_TIMEOUT(dialog->property("opened").toBool(), 10000);
    QVERIFY(m_window->grabWindow().save(TestSupport::artifactDir() + "/cleaner-failure.png"));

    click(item("openLocationButton"));
    QTRY_COMPARE(m_fileManager.shown, QStringList{QUrl::fromLocalFile(folder).toString()});

    // With no file manager on the bus, the parent folder is opened instead.
    QVERIFY(QDBusConnection(QStringLiteral("filemanager")).unregisterService("org.freedesktop.FileManager1"));
    click(item("openLocationButton"));
    QTRY_COMPARE(TestSupport::readAll(m_dir.filePath("opened")).trimmed(),
                 QUrl::fromLocalFile(m_dir.path()).toEncoded());

    click(item("closeFailureButton"));
    QTRY_VERIFY(!dialog->property("visible").toBool());
}

int main(int argc, char **argv)
{
    QmlWindow::useSoftwareRendering();
    QGuiApplication app(argc, argv);
    TestCleanerWindow test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_cleanerwindow.moc"
