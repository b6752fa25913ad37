#pragma once

#include <QApplication>
#include <QJsonObject>
#include <QString>

#include <atomic>

class CAutoUpdate;
class CInformationServices;
class CPrinterJson;
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
    bool powerBoot() const { return m_powerBoot; }

    // The command dispatch restarts the updater after a configuration change.
    CAutoUpdate *autoUpdate() const { return m_autoUpdate; }

    QJsonObject readJsonFile(const QString &path) const;
    bool writeJsonFile(const QJsonObject &object, const QString &path) const;

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

    // The set-top-box link; the command dispatcher hands it its commands.
    CInformationServices *informationServices() const { return m_informationServices; }

signals:
    void printQuantityChanged();
    void isPowerBootChanged();
    void printerStatusChanged();

private:
    void findLocalAddress();

    CInformationServices *m_informationServices = nullptr;
    CPrinterJson *m_printerJson = nullptr;
    CAutoUpdate *m_autoUpdate = nullptr;
    QNetworkAccessManager *m_networkManager = nullptr;
    QString m_localAddress;
    QString m_broadcastAddress;
    std::atomic<int> m_printQuantity{0};
    bool m_powerBoot = true;
};
