#include "service/http/MultiTcpServer.h"

CMultiTcpServer::CMultiTcpServer(QObject *parent) : QTcpServer(parent) {}

// The command server makes the socket itself (newConnectSlot), so the base
// class's pending-connection queue stays empty.
void CMultiTcpServer::incomingConnection(qintptr socketDescriptor)
{
    emit newConnection(static_cast<int>(socketDescriptor));
}
