#include "service/http/CommandConnection.h"

#include "service/log/LogFacility.h"

#include <QTcpSocket>

#include <utility>

namespace {

QString portText(quint16 port)
{
    return QString::number(port);
}

} // namespace

CommandConnection::CommandConnection(quint64 id, QTcpSocket *socket, const QHostAddress &peer)
    : m_id(id), m_socket(socket), m_peer(peer)
{
    m_state.peerPort = socket->peerPort();
}

CommandConnection::~CommandConnection()
{
    // Received but unconsumed bytes and unsent answers go with it.
    if (m_socket) {
        m_socket->disconnect();
        m_socket->deleteLater();
    }
}

void CommandConnection::deleteSocketNow()
{
    m_socket->disconnect();
    delete m_socket;
    m_socket = nullptr;
}

qint64 CommandConnection::bytesHeld() const
{
    return qint64(m_state.receiveBuffer.size()) + m_state.pendingBytes + m_lineBytes;
}

void CommandConnection::readAvailable()
{
    if (m_socket->bytesAvailable() <= 0)
        return;
    // Moving the unconsumed tail only when it is the smaller part keeps a
    // long run of pipelined requests linear.
    if (m_state.consumed > 0 && m_state.consumed >= HttpFraming::remainingBytes(m_state))
        HttpFraming::compact(m_state);
    m_state.receiveBuffer += m_socket->readAll();
    if (m_socket->bytesAvailable() > 0)
        WRITE_LOG(PrinterLog, QStringLiteral("http连接，数据未读取完全,远程端口:%1").arg(portText(m_state.peerPort)));
}

HttpFraming::Result CommandConnection::nextRequest()
{
    HttpFraming::Result result = HttpFraming::nextRequest(m_state);
    const QString port = portText(m_state.peerPort);
    switch (result.step) {
    case HttpFraming::Step::HeaderPending:
        if (!m_state.headerWaitLogged)
            WRITE_LOG(PrinterLog, QStringLiteral("http连接，远程端口:%1，头部不完整，等待更多数据").arg(port));
        m_state.headerWaitLogged = true;
        break;
    case HttpFraming::Step::BodyPending:
        if (!m_state.bodyWaitLogged)
            WRITE_LOG(PrinterLog, QStringLiteral("http连接Body不完整，等待接受更多数据，远程端口:%1").arg(port));
        m_state.bodyWaitLogged = true;
        break;
    case HttpFraming::Step::Request:
    case HttpFraming::Step::Preflight:
        m_state.headerWaitLogged = false;
        m_state.bodyWaitLogged = false;
        break;
    default:
        break;
    }
    return result;
}

void CommandConnection::discardInput()
{
    m_state.receiveBuffer.clear();
    m_state.consumed = 0;
    m_state.headerScanFrom = 0;
}

void CommandConnection::logNextRequest() const
{
    const int remaining = unreadBytes();
    if (remaining > 0)
        WRITE_LOG(PrinterLog, QStringLiteral("http连接，读取到下个请求内容， %1").arg(remaining));
}

quint64 CommandConnection::takePlace()
{
    m_line.emplace_back();
    ++m_awaited;
    m_state.dispatching = true;
    return m_firstPlace + m_line.size() - 1;
}

bool CommandConnection::fillPlace(quint64 place, const QByteArray &response)
{
    if (place < m_firstPlace || place - m_firstPlace >= m_line.size())
        return false;
    QByteArray &slot = m_line[size_t(place - m_firstPlace)];
    // A framed answer is never empty: null marks one still awaited.
    if (!slot.isNull())
        return false;
    slot = response;
    m_lineBytes += response.size();
    m_state.dispatching = --m_awaited > 0;
    while (!m_line.empty() && !m_line.front().isNull()) {
        const QByteArray due = std::move(m_line.front());
        m_line.pop_front();
        ++m_firstPlace;
        m_lineBytes -= due.size();
        m_state.pendingResponses.append(due);
        m_state.pendingBytes += due.size();
    }
    return true;
}

bool CommandConnection::answersWithinBound() const
{
    return m_state.pendingBytes + m_lineBytes + m_socket->bytesToWrite() <= HttpFraming::MaxPendingResponseBytes;
}

void CommandConnection::writeFirstAnswer()
{
    m_state.sentBytes = 0;
    const qint64 written = m_socket->write(m_state.pendingResponses.first());
    if (written <= 0)
        WRITE_LOG(PrinterLog, QStringLiteral("http连接缓冲区已满，远程接收端口:%1").arg(portText(m_state.peerPort)));
    else
        m_state.sentBytes += static_cast<qint32>(written);
    // Out now rather than on the next pass of the event loop: one loop pass
    // less per answer. Not done in continueWriting, where Qt does not
    // report the progress of a write made inside its own report.
    m_socket->flush();
}

CommandConnection::WriteProgress CommandConnection::continueWriting()
{
    const QByteArray first = m_state.pendingResponses.first();
    if (m_state.sentBytes < first.size()) {
        const qint64 written =
            m_socket->write(first.constData() + m_state.sentBytes, first.size() - m_state.sentBytes);
        if (written <= 0)
            WRITE_LOG(PrinterLog, QStringLiteral("http连接缓冲区已满，远程接受端口:%1").arg(portText(m_state.peerPort)));
        else
            m_state.sentBytes += static_cast<qint32>(written);
        if (m_state.sentBytes < first.size())
            return WriteProgress::Writing;
    }
    m_state.pendingResponses.removeFirst();
    m_state.pendingBytes -= first.size();
    if (m_state.pendingResponses.isEmpty())
        return WriteProgress::AllWritten;
    m_state.sentBytes = 0;
    const qint64 written = m_socket->write(m_state.pendingResponses.first());
    if (written > 0)
        m_state.sentBytes = static_cast<qint32>(written);
    return WriteProgress::NextAnswer;
}

void CommandConnection::stopWatchingWrites()
{
    QObject::disconnect(m_writeWatch);
    m_writeWatch = QMetaObject::Connection();
}
