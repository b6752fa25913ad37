#include "updater/UdpThread.h"

#include "common/CoordinationProtocol.h"
#include "common/LoopbackSocket.h"

#include <QDateTime>
#include <QDebug>

CUdpThread::CUdpThread(QObject *parent)
    : QObject(parent),
      m_runToken(QString::number(QDateTime::currentSecsSinceEpoch()))
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &CUdpThread::onReadyRead);
    if (!LoopbackSocket::bindListener(m_socket, CoordinationProtocol::UpdaterPort))
        qDebug() << "bind" << CoordinationProtocol::UpdaterPort << m_socket.errorString();
}

void CUdpThread::sendMessage(const QString &query)
{
    const QByteArray text = CoordinationProtocol::request(query, m_runToken);
    for (int copy = 0; copy < 2; ++copy)
        qDebug().noquote() << "===== 发送消息" << QString::fromUtf8(text);
    CoordinationProtocol::sendTwice(m_socket, text, CoordinationProtocol::ServicePort);
}

// Only loopback senders are heard: anyone else on the LAN could otherwise end
// a run or start a download. A datagram that is not read whole is dropped.
void CUdpThread::onReadyRead()
{
    QList<QHostAddress> senders;
    const QList<QByteArray> datagrams = CoordinationProtocol::takePendingDatagrams(m_socket, &senders);
    for (int i = 0; i < datagrams.size(); ++i) {
        if (!LoopbackSocket::isLoopbackSender(senders.at(i)))
            continue;
        const CoordinationProtocol::Message message = CoordinationProtocol::parse(datagrams.at(i));
        if (message.check != m_runToken) {
            qDebug().noquote() << "==== 校验错误" << m_runToken << message.check;
            emit foreignAnswer();
            return;
        }
        if (message.query == CoordinationProtocol::isUpdated())
            emit updateAgreed();
        else if (message.query == CoordinationProtocol::noUpdated())
            emit updateRefused();
        else if (message.query == CoordinationProtocol::closeApp())
            emit serviceClosed();
    }
}
