#include "service/http/CommandServer.h"

#include "service/app/LogFacility.h"
#include "service/http/MultiTcpServer.h"

#include <QPointer>
#include <QTcpSocket>

#include <utility>

using HttpFraming::Step;

namespace {

QString portText(quint16 port)
{
    return QString::number(port);
}

// The body as it goes into the log: text up to a first zero byte.
QString bodyText(const QByteArray &body)
{
    const int zero = body.indexOf('\0');
    return QString::fromUtf8(zero < 0 ? body : body.left(zero));
}

} // namespace

CommandServer::CommandServer(Dispatch dispatch, QObject *parent)
    : QObject(parent), m_dispatch(std::move(dispatch)), m_tcpServer(new CMultiTcpServer(this))
{
    connect(m_tcpServer, &CMultiTcpServer::newConnection, this, &CommandServer::newConnectSlot);
}

CommandServer::~CommandServer()
{
    m_tcpServer->close();
    // The sockets would otherwise report their end to a half-destroyed object.
    for (QTcpSocket *socket : m_connections.keys()) {
        socket->disconnect(this);
        delete socket;
    }
    m_connections.clear();
}

bool CommandServer::listen(quint16 port)
{
    return m_tcpServer->listen(QHostAddress::Any, port);
}

quint16 CommandServer::serverPort() const
{
    return m_tcpServer->serverPort();
}

void CommandServer::close()
{
    m_tcpServer->close();
}

void CommandServer::newConnectSlot(int nSocketDescriptor)
{
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(nSocketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        delete socket;
        return;
    }
    // Options only reach a socket that has its descriptor.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);

    ConnectionState state;
    state.peerPort = socket->peerPort();
    m_connections.insert(socket, state);

    connect(socket, &QTcpSocket::readyRead, this, &CommandServer::onReadyRead);
    connect(socket, &QTcpSocket::disconnected, this, &CommandServer::onDisconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &CommandServer::onSocketError);
}

void CommandServer::onReadyRead()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    const auto it = m_connections.find(socket);
    if (!socket || it == m_connections.end()) {
        WRITE_LOG(PrinterLog, QStringLiteral("http连接，未找到socket，连接已关闭"));
        return;
    }
    readAvailable(socket, it.value());
    if (overBounds(socket, it.value()))
        return;
    // A command of this connection is still running (waiting in a nested
    // event loop): its answer must go out first, and the loop that runs it
    // takes these bytes on when it returns.
    if (it->dispatching)
        return;
    processRequests(socket);
}

void CommandServer::readAvailable(QTcpSocket *socket, ConnectionState &state)
{
    if (socket->bytesAvailable() <= 0)
        return;
    // Moving the unconsumed tail only when it is the smaller part keeps a
    // long run of pipelined requests linear.
    if (state.consumed > 0 && state.consumed >= HttpFraming::remainingBytes(state))
        HttpFraming::compact(state);
    state.receiveBuffer += socket->readAll();
    if (socket->bytesAvailable() > 0)
        WRITE_LOG(PrinterLog, QStringLiteral("http连接，数据未读取完全,远程端口:%1").arg(portText(state.peerPort)));
}

bool CommandServer::overBounds(QTcpSocket *socket, const ConnectionState &state)
{
    const int remaining = HttpFraming::remainingBytes(state);
    if (remaining <= HttpFraming::MaxReceiveBuffer)
        return false;
    WRITE_LOG(PrinterLog, QStringLiteral("http连接接收数据过多，连接已关闭，远程端口:%1，字节数:%2")
                              .arg(portText(state.peerPort))
                              .arg(remaining));
    socket->abort();
    return true;
}

void CommandServer::processRequests(QTcpSocket *socket)
{
    const QPointer<QTcpSocket> guard(socket);
    for (;;) {
        // Commands may run event loops, in which the peer can go away: look
        // the connection up afresh every round.
        auto it = m_connections.find(socket);
        if (!guard || it == m_connections.end())
            return;
        ConnectionState &state = it.value();
        if (HttpFraming::remainingBytes(state) <= 0) {
            HttpFraming::compact(state);
            return;
        }
        const QString port = portText(state.peerPort);
        const HttpFraming::Result result = HttpFraming::nextRequest(state);
        switch (result.step) {
        case Step::HeaderPending:
            WRITE_LOG(PrinterLog, QStringLiteral("http连接，远程端口:%1，头部不完整，等待更多数据").arg(port));
            return;
        case Step::BodyPending:
            WRITE_LOG(PrinterLog, QStringLiteral("http连接Body不完整，等待接受更多数据，远程端口:%1").arg(port));
            return;
        case Step::NotPost:
            WRITE_LOG(PrinterLog, QStringLiteral("http连接不是POST请求, 远程端口:%1, 内容:%2")
                                      .arg(port, QString::fromUtf8(result.header)));
            state.receiveBuffer.clear();
            state.consumed = 0;
            state.headerScanFrom = 0;
            socket->close();
            return;
        case Step::BadLength:
            WRITE_LOG(PrinterLog, QStringLiteral("http连接Content-Length无效，连接已关闭，远程端口:%1，长度:%2")
                                      .arg(port)
                                      .arg(result.length));
            socket->abort();
            return;
        case Step::TooLarge:
            WRITE_LOG(PrinterLog, QStringLiteral("http连接请求过大，连接已关闭，远程端口:%1，长度:%2")
                                      .arg(port)
                                      .arg(result.length));
            socket->abort();
            return;
        case Step::Request:
            break;
        }

        WRITE_LOG(PrinterLog, QStringLiteral("http连接，远程端口：%1，请求:%2").arg(port, bodyText(result.body)));
        state.dispatching = true;
        const QString answer = m_dispatch(result.body);
        it = m_connections.find(socket);
        if (!guard)
            return;
        if (it == m_connections.end()) {
            // The peer left while the command ran; the deletion that
            // onDisconnected held back is safe from here.
            socket->deleteLater();
            return;
        }
        it->dispatching = false;
        // What arrived while the command waited raised no readyRead of its own.
        readAvailable(socket, it.value());
        if (overBounds(socket, it.value()))
            return;

        sendResponse(socket, answer);
        it = m_connections.find(socket);
        if (!guard || it == m_connections.end())
            return;
        const int remaining = HttpFraming::remainingBytes(it.value());
        if (remaining > 0)
            WRITE_LOG(PrinterLog, QStringLiteral("http连接，读取到下个请求内容， %1").arg(remaining));
    }
}

void CommandServer::sendResponse(QTcpSocket *socket, const QString &answer)
{
    const QByteArray response = HttpFraming::frameResponse(answer);
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    ConnectionState &state = it.value();
    state.pendingResponses.append(response);
    state.pendingBytes += response.size();
    // A client that keeps sending without reading its answers: what waits
    // here and in the socket's own buffer is bounded.
    if (state.pendingBytes + socket->bytesToWrite() > HttpFraming::MaxPendingResponseBytes) {
        WRITE_LOG(PrinterLog,
                  QStringLiteral("http连接待发送数据过多，连接已关闭，远程端口:%1").arg(portText(state.peerPort)));
        socket->abort();
        return;
    }
    if (state.pendingResponses.size() > 1)
        return;
    state.sentBytes = 0;
    // Only while answers are pending; the connection is made once.
    connect(socket, &QTcpSocket::bytesWritten, this, &CommandServer::onBytesWritten, Qt::UniqueConnection);
    const qint64 written = socket->write(response);
    if (written <= 0)
        WRITE_LOG(PrinterLog, QStringLiteral("http连接缓冲区已满，远程接收端口:%1").arg(portText(state.peerPort)));
    else
        state.sentBytes += static_cast<qint32>(written);
    // Out now rather than on the next pass of the event loop: one loop pass
    // less per answer. Not done in onBytesWritten, where Qt does not
    // report the progress of a write made inside its own report.
    socket->flush();
}

void CommandServer::onBytesWritten(qint64 nBytesWritten)
{
    Q_UNUSED(nBytesWritten)
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    const auto it = m_connections.find(socket);
    if (!socket || it == m_connections.end() || it->pendingResponses.isEmpty()) {
        const quint16 port = socket ? socket->peerPort() : 0;
        WRITE_LOG(PrinterLog, QStringLiteral("http连接发送状态，远程接收端口：%1 数据发送完").arg(portText(port)));
        return;
    }
    ConnectionState &state = it.value();
    const QByteArray first = state.pendingResponses.first();
    if (state.sentBytes < first.size()) {
        const qint64 written = socket->write(first.constData() + state.sentBytes, first.size() - state.sentBytes);
        if (written <= 0)
            WRITE_LOG(PrinterLog, QStringLiteral("http连接缓冲区已满，远程接受端口:%1").arg(portText(state.peerPort)));
        else
            state.sentBytes += static_cast<qint32>(written);
        if (state.sentBytes < first.size())
            return;
    }
    state.pendingResponses.removeFirst();
    state.pendingBytes -= first.size();
    if (!state.pendingResponses.isEmpty()) {
        state.sentBytes = 0;
        const qint64 written = socket->write(state.pendingResponses.first());
        if (written > 0)
            state.sentBytes = static_cast<qint32>(written);
        return;
    }
    disconnect(socket, &QTcpSocket::bytesWritten, this, &CommandServer::onBytesWritten);
}

void CommandServer::onDisconnected()
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    const auto it = m_connections.constFind(socket);
    const bool known = it != m_connections.constEnd();
    const quint16 port = known ? it->peerPort : socket->peerPort();
    // While a command of this connection waits in a nested event loop, the
    // socket is still inside its own readyRead further up the stack; that
    // loop would delete it under Qt's feet. processRequests deletes it once
    // the command has returned.
    const bool commandRunning = known && it->dispatching;
    WRITE_LOG(PrinterLog, QStringLiteral("HTTP连接断开,port:%1").arg(portText(port)));
    m_connections.remove(socket);
    socket->disconnect();
    if (!commandRunning)
        socket->deleteLater();
}

void CommandServer::onSocketError(QAbstractSocket::SocketError socketError)
{
    auto *socket = qobject_cast<QTcpSocket *>(sender());
    if (!socket)
        return;
    WRITE_LOG(PrinterLog, QStringLiteral("Http连接Socket error: %1 - %2").arg(int(socketError)).arg(socket->errorString()));
    if (socketError != QAbstractSocket::RemoteHostClosedError)
        socket->close();
}
