#pragma once

#include <QApplication>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

class CAutoUpdate;
class CInformationServices;
class CInstalledPrinters;
class CPrinterJson;
class CPrinterQueue;
class CommandDispatcher;
class CommandServer;
class FileLoader;
class PrinterCache;

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

    CPrinterQueue *printerQueue() const { return m_printerQueue.get(); }
    FileLoader *fileLoader() const { return m_fileLoader.get(); }
    // The set-top-box link.
    CInformationServices *informationServices() const { return m_informationServices.get(); }
    CommandDispatcher *dispatcher() const { return m_dispatcher.get(); }
    // Start-up: the settings kept in PrinterConfig.json, if any.
    void loadPrinterConfig();

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

private:
    void findLocalAddress();
    void onCommandServerListening(bool listening);
    void onPrinterProblemChanged(const QString &problem);

    QString m_localAddress;
    QString m_broadcastAddress;
    // Set from the print queue's thread until the queue is gone.
    std::atomic<int> m_printQuantity{0};
    bool m_powerBoot = true;
    QString m_commandPortProblem;
    QString m_printerProblem;

    // The parts, each after those it uses: members go in reverse order, so
    // the command server (no command arrives once it is gone) goes first,
    // then the dispatcher, then what it reaches, the printer list last.
    // The printer list the dispatcher reads, kept fresh off the main thread.
    std::unique_ptr<PrinterCache> m_printerCache;
    std::unique_ptr<CPrinterJson> m_printerJson;
    std::unique_ptr<CAutoUpdate> m_autoUpdate;
    // Reads and writes its subtitle file through m_printerJson.
    std::unique_ptr<CInformationServices> m_informationServices;
    std::unique_ptr<CPrinterQueue> m_printerQueue;
    std::unique_ptr<FileLoader> m_fileLoader;
    std::unique_ptr<CInstalledPrinters> m_installedPrinters;
    std::unique_ptr<CommandDispatcher> m_dispatcher;
    std::unique_ptr<CommandServer> m_commandServer;
};
