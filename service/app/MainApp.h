#pragma once

#include "platform/FileStamp.h"
#include "service/http/HttpFraming.h"

#include <QAbstractSocket>
#include <QApplication>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTcpServer>

#include <atomic>

class CAutoUpdate;
class CInformationServices;
class CPrinterJson;
class CPrinterQueue;
class FileLoader;
class PrinterCache;
class QJsonArray;
class QNetworkAccessManager;
class QTcpSocket;
struct PrintRecord;

// Listens for the cashier application's command connections. It only hands
// the accepted descriptor on; the application object makes the socket.
class CMultiTcpServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit CMultiTcpServer(QObject *parent = nullptr);

signals:
    void newConnection(int nSocketDescriptor);

protected:
    void incomingConnection(qintptr socketDescriptor) override;
};

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

    QJsonObject readJsonFile(const QString &path) const;
    bool writeJsonFile(const QJsonObject &object, const QString &path) const;

    CPrinterQueue *printerQueue() const { return m_printerQueue; }
    FileLoader *fileLoader() const { return m_fileLoader; }
    // Start-up: the settings kept in PrinterConfig.json, if any.
    void loadPrinterConfig();

    // The answer text to one request body; every path ends in an answer.
    QString dispatchCommand(const QByteArray &body);
    // Frames the answer and queues it behind the connection's earlier ones.
    void sendResponse(QTcpSocket *socket, const QString &answer);
    // The installed printers as the PrinterStatus command lists them, from
    // the cached list: never waits for the print server.
    QJsonArray buildPrinterList() const;
    // Applies an UpdateConfig request to Update.conf; true when the device changed.
    bool mergeUpdateConfig(const QJsonObject &request);

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

private slots:
    void newConnectSlot(int nSocketDescriptor);
    void onReadyRead();
    void onDisconnected();
    void onBytesWritten(qint64 nBytesWritten);
    void onSocketError(QAbstractSocket::SocketError socketError);

private:
    void findLocalAddress();

    // Command server (CommandServer.cpp). The slots above serve callers
    // through the meta-object; the sockets' signals reach these directly.
    void readyReadFrom(QTcpSocket *socket);
    void bytesWrittenFrom(QTcpSocket *socket);
    void disconnectedFrom(QTcpSocket *socket);
    void socketErrorFrom(QTcpSocket *socket, QAbstractSocket::SocketError socketError);
    void readAvailable(QTcpSocket *socket, ConnectionState &state);
    bool overBounds(QTcpSocket *socket, const ConnectionState &state);
    void processRequests(QTcpSocket *socket);
    void writePending(QTcpSocket *socket, ConnectionState &state, const char *fullMessage);

    // Commands (CommandDispatch.cpp).
    QString printRequest(const QJsonObject &request);
    QString settingsCommand(const QJsonObject &request);
    QString printerStatusCommand() const;
    QString setTopBoxCommand(const QJsonObject &request, int openType, int closeType, unsigned times,
                             const QString &ip);
    QString setRoomAreaCommand(const QJsonObject &request);
    QString getRoomAreaCommand();
    QString empowerCodeCommand(const QJsonObject &request);
    QString updateConfigCommand(const QJsonObject &request);
    QString drinkCommand(const QJsonObject &request);
    QStringList installedPrinterNames() const;

    // Hand-offs to printing, the set-top-box service and the update
    // coordinator (HandOffs.cpp). Each is the one place where the dispatcher
    // reaches the object that does the work. They are virtual so a test can
    // stand in for the far side (record the call, or make a command wait).
    //   enqueuePrintJob       print queue: addJob (sets active, appends, publishes the count;
    //                         false when the queue is full)
    //   applyPrinterSettings  printer settings: parse the array with one reused record,
    //                         each to the print queue's setPrinterConfig
    //   logoLocalPath         logo loader: the image folder, "/", requestLogo(url)
    //   sendSetTopBoxMessage  information service: sendStbMsg (empty ip: every box)
    //   setTopBoxList         information service: getStbInfo, the InfoData answer
    //   applySubtitleCommand  information service: handleSubtitle(data, false)
    //   relayAuthCode         information service: checkAuthCode; may wait in a nested loop
    //   startUpdater          update coordinator: startUpdater
    virtual bool enqueuePrintJob(PrintRecord &job);
    virtual void applyPrinterSettings(const QJsonArray &settings);
    virtual QString logoLocalPath(const QString &url);
    virtual void sendSetTopBoxMessage(int type, const QString &content, unsigned times, const QString &ip);
    virtual QString setTopBoxList();
    virtual void applySubtitleCommand(const QJsonValue &data);
    virtual QString relayAuthCode(unsigned unAccount, const QJsonValue &data);
    virtual void startUpdater();

    CInformationServices *m_informationServices = nullptr;
    CMultiTcpServer *m_tcpServer = nullptr;
    CPrinterQueue *m_printerQueue = nullptr;
    CPrinterJson *m_printerJson = nullptr;
    CAutoUpdate *m_autoUpdate = nullptr;
    QNetworkAccessManager *m_networkManager = nullptr;
    QString m_localAddress;
    QString m_broadcastAddress;
    std::atomic<int> m_printQuantity{0};
    bool m_powerBoot = true;
    // Keyed by socket address; a socket is here from acceptance to disconnection.
    QMap<QTcpSocket *, ConnectionState> m_connections;
    // The bytesWritten link of each connection with answers pending.
    QHash<QTcpSocket *, QMetaObject::Connection> m_bytesWrittenConnections;
    // GetRoomArea's answer and the look of RoomArea.json it was built from.
    QString m_roomAreaAnswer;
    FileStamp m_roomAreaStamp;
    FileLoader *m_fileLoader = nullptr;
    // The printer list the dispatcher reads, kept fresh off the main thread.
    PrinterCache *m_printerCache = nullptr;
};
