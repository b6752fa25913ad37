#include "service/http/CommandConnection.h"

#include "service/log/LogFacility.h"


#include <utility>

namespace {

// What one read takes: while a connection is busy the rest stays with the
// system, which holds the client back.
constexpr int ReadChunk = 64 * 1024;

} // namespace

CommandConnection::CommandConnection(quint64 id, std::unique_ptr<StreamSocket> socket, const QHostAddress &peer,
                                     quint16 peerPort)
    : m_id(id), m_socket(std::move(socket)), m_peer(peer), m_portText(QString::number(peerPort))
{
    m_state.peerPort = peerPort;
}

qint64 CommandConnection::bytesHeld() const
{
    return qint64(m_state.receiveBuffer.size()) + m_state.pendingBytes + m_lineBytes;
}

CommandConnection::ReadOutcome CommandConnection::readSome()
{
    // Moving the unconsumed tail only when it is the smaller part keeps a
    // long run of pipelined requests linear.
    if (m_state.consumed > 0 && m_state.consumed >= HttpFraming::remainingBytes(m_state))
        HttpFraming::compact(m_state);
    int count = 0;
    switch (m_socket->readInto(m_state.receiveBuffer, ReadChunk, &count)) {
    case StreamSocket::ReadStatus::Data:
        // Less than asked for: the system had no more, unless the peer's
        // end came with it, which only a further read shows.
        if (count < ReadChunk && !peerHungUp)
            mayRead = false;
        return ReadOutcome::Data;
    case StreamSocket::ReadStatus::WouldBlock:
        mayRead = false;
        return ReadOutcome::Nothing;
    case StreamSocket::ReadStatus::EndOfStream:
        mayRead = false;
        return ReadOutcome::Ended;
    case StreamSocket::ReadStatus::Failed:
        break;
    }
    mayRead = false;
    return ReadOutcome::Failed;
}

HttpFraming::Result CommandConnection::nextRequest()
{
    HttpFraming::Result result = HttpFraming::nextRequest(m_state);
    const QString &port = m_portText;
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
    return m_state.pendingBytes + m_lineBytes <= HttpFraming::MaxPendingResponseBytes;
}

CommandConnection::WriteOutcome CommandConnection::writeAnswers()
{
    QList<QByteArray> &pending = m_state.pendingResponses;
    while (!pending.isEmpty()) {
        qint64 written = 0;
        const StreamSocket::WriteStatus status = m_socket->writeRun(pending, m_state.sentBytes, &written);
        if (status == StreamSocket::WriteStatus::Closed)
            return WriteOutcome::Ended;
        if (status == StreamSocket::WriteStatus::Failed)
            return WriteOutcome::Failed;
        dropWritten(written);
        if (status == StreamSocket::WriteStatus::Partly && written == 0)
            return WriteOutcome::Blocked;
    }
    return WriteOutcome::AllWritten;
}

void CommandConnection::dropWritten(qint64 written)
{
    QList<QByteArray> &pending = m_state.pendingResponses;
    while (written > 0 && !pending.isEmpty()) {
        const qint64 rest = pending.first().size() - m_state.sentBytes;
        if (written < rest) {
            m_state.sentBytes += qint32(written);
            return;
        }
        written -= rest;
        m_state.pendingBytes -= pending.first().size();
        pending.removeFirst();
        m_state.sentBytes = 0;
    }
}
