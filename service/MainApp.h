#pragma once

#include <QApplication>
#include <QJsonObject>
#include <QString>

#include <atomic>

class CAutoUpdate;
class CPrinterJson;
class CPrinterQueue;
class FileLoader;
class QJsonArray;
class QNetworkAccessManager;

// The service's application object: owns every long-lived object of the
// service and is the window's context object "mainwindow". Based on
// QApplication (a QGuiApplication) so that the tray icon also works on X11
// desktops without a D-Bus tray host.
class CMainApp : public QApplication
{
    Q_OBJECT
    Q_PROPERTY(int getPrintQuantity READ printQuantity WRITE setPrintQuantity NOTIFY printQuantityChanged)
    Q_PROPERTY(bool isPowerBoot READ powerBoot NOTIFY isPowerBootChanged)

public:
    CMainApp(int &argc, char **argv);
    ~CMainApp() override;

    int printQuantity() const { return m_printQuantity; }
    // Called from whichever thread adds or takes a job; the signal reaches
    // QML on the main thread through the automatic connection.
    void setPrintQuantity(int quantity);
    // Stores the count and tells whether it changed, without the signal, so
    // the print queue can store under its lock and signal after it.
    bool storePrintQuantity(int quantity) { return m_printQuantity.exchange(quantity) != quantity; }
    bool powerBoot() const { return m_powerBoot; }

    // The command dispatch restarts the updater after a configuration change.
    CAutoUpdate *autoUpdate() const { return m_autoUpdate; }

    QJsonObject readJsonFile(const QString &path) const;
    bool writeJsonFile(const QJsonObject &object, const QString &path) const;

    CPrinterQueue *printerQueue() const { return m_printerQueue; }
    FileLoader *fileLoader() const { return m_fileLoader; }
    // Hands each printer's settings of a "data" array to the renderer's table.
    void applyPrinterSettings(const QJsonArray &data);
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
    void printerStatusChanged();

private:
    void findLocalAddress();

    CPrinterQueue *m_printerQueue = nullptr;
    CPrinterJson *m_printerJson = nullptr;
    CAutoUpdate *m_autoUpdate = nullptr;
    QNetworkAccessManager *m_networkManager = nullptr;
    QString m_localAddress;
    QString m_broadcastAddress;
    std::atomic<int> m_printQuantity{0};
    bool m_powerBoot = true;
    FileLoader *m_fileLoader = nullptr;
};
