#pragma once

#include "service/http/HttpFraming.h"

#include <QAbstractSocket>
#include <QMap>
#include <QObject>

#include <functional>

class CMultiTcpServer;
class QTcpSocket;

// The HTTP side of the command interface: one entry per client connection,
// requests cut out of each byte stream, each handed to the dispatch
// function, answers written back in order.
class CommandServer : public QObject
{
    Q_OBJECT

public:
    // The answer text to one request body.
    using Dispatch = std::function<QString(const QByteArray &body)>;

    static constexpr quint16 CommandPort = 12380;

    explicit CommandServer(Dispatch dispatch, QObject *parent = nullptr);
    ~CommandServer() override;

    // On every address; false when the port is taken (the service then
    // runs without its command server).
    bool listen(quint16 port = CommandPort);
    quint16 serverPort() const;
    void close();

    // Frames the answer and queues it behind the connection's earlier ones.
    void sendResponse(QTcpSocket *socket, const QString &answer);

private slots:
    void newConnectSlot(int nSocketDescriptor);
    void onReadyRead();
    void onDisconnected();
    void onBytesWritten(qint64 nBytesWritten);
    void onSocketError(QAbstractSocket::SocketError socketError);

private:
    void readAvailable(QTcpSocket *socket, ConnectionState &state);
    bool overBounds(QTcpSocket *socket, const ConnectionState &state);
    void processRequests(QTcpSocket *socket);

    Dispatch m_dispatch;
    CMultiTcpServer *m_tcpServer = nullptr;
    // Keyed by socket address; a socket is here from acceptance to disconnection.
    QMap<QTcpSocket *, ConnectionState> m_connections;
};
