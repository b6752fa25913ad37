#pragma once

#include <QApplication>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <functional>

class CAutoUpdate;
class CInformationServices;
class CInstalledPrinters;
class CPrinterJson;
class CPrinterQueue;
class CommandDispatcher;
class CommandServer;
class FileLoader;
class PrinterCache;
class QNetworkAccessManager;

// The service's application object: owns every long-lived object of the
// service, wires them together and is the window's context object
// "mainwindow". Based on QApplication (a QGuiApplication) so that the tray
// icon also works on X11 desktops without a D-Bus tray host.
class CMainApp : public QApplication
{
    Q_OBJECT
    Q_PROPERTY(int getPrintQuantity READ printQuantity WRITE setPrintQuantity NOTIFY printQuantityChanged)
    Q_PROPERTY(bool isPowerBoot READ powerBoot NOTIFY isPowerBootChanged)
    // Empty while the command port is ours; else what the window's hint line says.
    Q_PROPERTY(QString commandPortProblem READ commandPortProblem NOTIFY commandPortProblemChanged)
    // Empty while receipts can print; else why they wait in the queue.
    Q_PROPERTY(QString printerProblem READ printerProblem NOTIFY printerProblemChanged)

public:
    CMainApp(int &argc, char **argv);
    ~CMainApp() override;

    int printQuantity() const { return m_printQuantity; }
    // Called from whichever thread adds or takes a job (the print queue
    // tells it directly); the signal reaches QML on the main thread through
    // the automatic connection.
    void setPrintQuantity(int quantity);
    bool powerBoot() const { return m_powerBoot; }
    QString commandPortProblem() const { return m_commandPortProblem; }
    QString printerProblem() const { return m_printerProblem; }

    QJsonObject readJsonFile(const QString &path) const;
    // A failure is logged and reported; the previous file stays intact.
    bool writeJsonFile(const QJsonObject &object, const QString &path) const;

    CPrinterQueue *printerQueue() const { return m_printerQueue; }
    FileLoader *fileLoader() const { return m_fileLoader; }
    // The set-top-box link.
    CInformationServices *informationServices() const { return m_informationServices; }
    // Start-up: the settings kept in PrinterConfig.json, if any.
    void loadPrinterConfig();

    // Carries out one request body; the answer text goes to `answer`, now
    // or (for a relay to a set-top box) later.
    void dispatchCommand(const QByteArray &body, const std::function<void(const QString &)> &answer);

    Q_INVOKABLE QString getAddressIP() const { return m_localAddress; }
    Q_INVOKABLE QString getBroadcast() const { return m_broadcastAddress; }
    // The window hides its auto-start check box behind this.
    Q_INVOKABLE bool isOpenAutoStart() const { return false; }
    // Adds or removes the program's value in the user's Run list.
    Q_INVOKABLE void setAutoStart(bool enable);
    // True when the Run list names exactly this program file.
    Q_INVOKABLE bool bAutoStart();
    // Creates or deletes the startup shortcut; isPowerBoot follows the
    // request, not whether a shortcut exists. Always true.
    Q_INVOKABLE bool setPowerBoot(bool bOpen);

signals:
    void printQuantityChanged();
    void isPowerBootChanged();
    void commandPortProblemChanged();
    void printerProblemChanged();
    void printerStatusChanged();

private:
    void findLocalAddress();
    void onCommandServerListening(bool listening);
    void onPrinterProblemChanged(const QString &problem);

    CInformationServices *m_informationServices = nullptr;
    CommandServer *m_commandServer = nullptr;
    CPrinterQueue *m_printerQueue = nullptr;
    CPrinterJson *m_printerJson = nullptr;
    CAutoUpdate *m_autoUpdate = nullptr;
    QNetworkAccessManager *m_networkManager = nullptr;
    FileLoader *m_fileLoader = nullptr;
    // The printer list the dispatcher reads, kept fresh off the main thread.
    PrinterCache *m_printerCache = nullptr;
    CInstalledPrinters *m_installedPrinters = nullptr;
    CommandDispatcher *m_dispatcher = nullptr;
    QString m_localAddress;
    QString m_broadcastAddress;
    std::atomic<int> m_printQuantity{0};
    bool m_powerBoot = true;
    QString m_commandPortProblem;
    QString m_printerProblem;
};
