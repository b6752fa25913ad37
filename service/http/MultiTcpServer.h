#pragma once

#include <QTcpServer>

// Listens for the cashier application's command connections. It only hands
// the accepted descriptor on; the command server makes the socket.
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
