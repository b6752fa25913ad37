#include "service/http/CommandServer.h"

#include "common/Clock.h"
#include "platform/EventDispatcher.h"
#include "platform/OpenFileLimit.h"
#include "service/log/LogFacility.h"
#include "service/http/MultiTcpServer.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QSocketNotifier>

#include <utility>

using HttpFraming::Step;

namespace {

// Readiness reports taken per activation; more wait for the next pass of
// the event loop, so timers and the window get their turn.
constexpr int ReadinessBatch = 128;
// The dispatcher hands out the same text again for repeated questions
// (a kept room list, the fixed codes); comparing with a shared text is
// immediate, and a long answer kept costs only its memory.
constexpr int RememberedAnswerChars = 64 * 1024;
// How the end of a connection by its peer has always been logged.
constexpr int RemoteHostClosedCode = 1;
constexpr int NetworkErrorCode = 7;
const char RemoteHostClosedText[] = "The remote host closed the connection";
// Files kept free for everything else (logs, print jobs, set-top-box and
// update sockets, logo downloads).
constexpr qint64 ReservedFiles = 256;
constexpr int ConnectionCeiling = 8192;
constexpr int PeerCeiling = 1024;
constexpr int AcceptRetryMs = 250;
constexpr qint64 RefusalLogIntervalMs = 10000;

QString portText(quint16 port)
{
    return QString::number(port);
}

// "http连接，远程端口：%1，请求:%2" up to the body, which the log writer
// adds (as text up to a first zero byte): it is written for every request.
QString requestLogHead(const QString &port)
{
    return QStringLiteral("http连接，远程端口：") + port + QStringLiteral("，请求:");
}

// IPv4 clients of the dual-stack socket show up IPv4-mapped; one host is
// one address either way.
QHostAddress hostOf(const QHostAddress &address)
{
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    return isIPv4 ? QHostAddress(ipv4) : address;
}

CommandServer::Limits withDerivedLimits(CommandServer::Limits limits)
{
    if (limits.maxConnections <= 0) {
        const qint64 files = OpenFileLimit::current();
        limits.maxConnections = files < 0 ? ConnectionCeiling
                                          : int(qBound<qint64>(16, files - ReservedFiles, ConnectionCeiling));
    }
    // One host (one address) cannot take all connections.
    if (limits.maxConnectionsPerPeer <= 0)
        limits.maxConnectionsPerPeer = qBound(8, limits.maxConnections / 4, PeerCeiling);
    limits.requestsPerTurn = qMax(1, limits.requestsPerTurn);
    return limits;
}

} // namespace

CommandServer::CommandServer(Dispatch dispatch, QObject *parent) : CommandServer(std::move(dispatch), Limits(), parent)
{
}

CommandServer::CommandServer(Dispatch dispatch, const Limits &limits, QObject *parent)
    : QObject(parent),
      m_dispatch(std::move(dispatch)),
      m_limits(withDerivedLimits(limits)),
      m_tcpServer(new CMultiTcpServer(this)),
      m_refusalLog(RefusalLogIntervalMs)
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread());
    if (auto *loop = qobject_cast<EventDispatcher *>(dispatcher))
        m_readiness = loop->hostReadiness([this](const ReadinessSet::Event *events, int count) {
            handleReadiness(events, count);
        });
    if (!m_readiness)
        watchOwnReadinessSet();
    if (dispatcher)
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &CommandServer::writeDueAnswers);
    connect(m_tcpServer, &CMultiTcpServer::newConnection, this, &CommandServer::newConnectSlot);
    connect(m_tcpServer, &QTcpServer::acceptError, this, &CommandServer::onAcceptError);
    connect(&m_idleTimer, &QTimer::timeout, this, &CommandServer::closeIdleConnections);
    m_idleTimer.start(m_limits.idleCheckMs);
    m_listenRetry.setSingleShot(true);
    connect(&m_listenRetry, &QTimer::timeout, this, &CommandServer::tryListen);
}

void CommandServer::watchOwnReadinessSet()
{
    m_readiness = std::make_unique<ReadinessSet>();
    if (!m_readiness->isValid()) {
        WRITE_LOG(PrinterLog, QStringLiteral("http连接就绪集合创建失败：%1").arg(m_readiness->errorString()));
        return;
    }
    m_readinessNotifier = new QSocketNotifier(m_readiness->descriptor(), QSocketNotifier::Read, this);
    connect(m_readinessNotifier, &QSocketNotifier::activated, this, &CommandServer::onReadiness);
}

CommandServer::~CommandServer()
{
    m_tcpServer->close();
    m_connections.clear();
    // Before the set's descriptor closes with the set.
    delete m_readinessNotifier;
    m_readinessNotifier = nullptr;
}

bool CommandServer::listen(quint16 port)
{
    return m_tcpServer->listen(QHostAddress::Any, port);
}

void CommandServer::keepListening(quint16 port)
{
    m_listenPort = port;
    tryListen();
}

void CommandServer::tryListen()
{
    if (m_tcpServer->isListening())
        return;
    if (listen(m_listenPort)) {
        m_listenError.clear();
        if (m_listenFailed) {
            m_listenFailed = false;
            WRITE_LOG(PrinterLog, QStringLiteral("http服务端口%1监听成功").arg(portText(m_listenPort)));
            emit listeningChanged(true);
        }
        return;
    }
    m_listenError = m_tcpServer->errorString();
    if (!m_listenFailed) {
        m_listenFailed = true;
        WRITE_LOG(PrinterLog, QStringLiteral("http服务端口%1监听失败：%2，每%3秒重试")
                                  .arg(portText(m_listenPort), m_listenError,
                                       QString::number(m_limits.listenRetryMs / 1000.0)));
        emit listeningChanged(false);
    }
    m_listenRetry.start(m_limits.listenRetryMs);
}

bool CommandServer::isListening() const
{
    return m_tcpServer->isListening();
}

quint16 CommandServer::serverPort() const
{
    return m_tcpServer->serverPort();
}

void CommandServer::close()
{
    m_listenRetry.stop();
    m_tcpServer->close();
}

// Progress times only feed the idle check, which counts in seconds: within
// a batch of reports one reading of the clock serves every request.
qint64 CommandServer::nowMs() const
{
    return m_batchMs >= 0 ? m_batchMs : clockMs();
}

qint64 CommandServer::clockMs() const
{
    return (m_limits.clock ? *m_limits.clock : Clock::system()).monotonicMs();
}

CommandConnection *CommandServer::connection(quint64 id) const
{
    const auto it = m_connections.find(id);
    return it == m_connections.end() ? nullptr : it->second.get();
}

// Out of files (or another accept failure): Qt stops accepting for good.
// Connections closing, idle ones among them, free files again; try later.
void CommandServer::onAcceptError(QAbstractSocket::SocketError socketError)
{
    if (!m_acceptFailing) {
        m_acceptFailing = true;
        WRITE_LOG(PrinterLog, QStringLiteral("http连接接受失败: %1 - %2，稍后重试")
                                  .arg(QString::number(int(socketError)), m_tcpServer->errorString()));
    }
    QTimer::singleShot(AcceptRetryMs, this, [this] { m_tcpServer->resumeAccepting(); });
}

bool CommandServer::admits(const QHostAddress &peer)
{
    if (int(m_connections.size()) < m_limits.maxConnections
        && m_connectionsPerPeer.value(peer) < m_limits.maxConnectionsPerPeer)
        return true;
    quint64 notLogged = 0;
    if (!m_refusalLog.admit(nowMs(), &notLogged))
        return false;
    WRITE_LOG(PrinterLog, QStringLiteral("http连接数已达上限(共%1，每个地址%2)，拒绝来自%3的连接，此前另有%4个未记录")
                              .arg(QString::number(m_limits.maxConnections),
                                   QString::number(m_limits.maxConnectionsPerPeer), peer.toString(),
                                   QString::number(notLogged)));
    return false;
}

void CommandServer::newConnectSlot(int nSocketDescriptor)
{
    m_acceptFailing = false;
    auto socket = std::make_unique<StreamSocket>(nSocketDescriptor);
    if (!socket->makeNonBlocking())
        return;
    const QHostAddress peer = hostOf(socket->peerAddress());
    if (!admits(peer))
        return;
    socket->setLowDelayAndKeepAlive();

    const quint64 id = ++m_lastId;
    // Keyed by the id: a closed descriptor's number comes back for the next
    // client, possibly while reports about the old one are being served.
    if (!m_readiness->add(socket->descriptor(), id, ReadinessSet::Read | ReadinessSet::Write)) {
        WRITE_LOG(PrinterLog, QStringLiteral("http连接无法加入就绪集合：%1").arg(m_readiness->errorString()));
        return;
    }
    const quint16 port = socket->peerPort();
    auto entry = std::make_unique<CommandConnection>(id, std::move(socket), peer, port);
    entry->lastProgressMs = nowMs();
    entry->requestLogHead = requestLogHead(entry->portText());
    // Bytes may have come with the connection.
    entry->mayRead = true;
    m_connections.emplace(id, std::move(entry));
    ++m_connectionsPerPeer[peer];
}

void CommandServer::onReadiness()
{
    // On the stack: a command may run an event loop of its own, which
    // comes back here with a batch of its own.
    ReadinessSet::Event events[ReadinessBatch];
    handleReadiness(events, m_readiness->collect(events, ReadinessBatch));
}

void CommandServer::handleReadiness(const ReadinessSet::Event *events, int count)
{
    const bool outerBatch = m_batchMs >= 0;
    m_batchMs = clockMs();
    for (int i = 0; i < count; ++i) {
        const ReadinessSet::Event &event = events[i];
        CommandConnection *c = connection(event.key);
        // Gone since: closed earlier in this batch.
        if (!c)
            continue;
        if (event.hangUp)
            c->peerHungUp = true;
        if (event.readable || event.hangUp)
            c->mayRead = true;
        if (event.writable && c->writeBlocked) {
            c->writeBlocked = false;
            writeAnswers(event.key);
            c = connection(event.key);
            if (!c)
                continue;
        }
        if (c->mayRead)
            serve(event.key);
    }
    writeDueAnswers();
    // Inside a command's own event loop: the outer batch goes on from now.
    m_batchMs = outerBatch ? clockMs() : -1;
}

// Takes the requests of what has arrived, reading more from the socket only
// when what was read holds no complete request: while requests wait in the
// buffer (a yielded turn) or the connection's line of answers is full, the
// bytes stay with the socket and, beyond its small buffer, with the system.
void CommandServer::serve(quint64 id)
{
    int turnLeft = m_limits.requestsPerTurn;
    for (;;) {
        CommandConnection *c = connection(id);
        if (!c || c->turnQueued || c->closing || mustWait(*c))
            break;
        if (c->needsBytes || c->unreadBytes() <= 0) {
            if (!c->mayRead)
                break;
            const CommandConnection::ReadOutcome outcome = c->readSome();
            if (outcome == CommandConnection::ReadOutcome::Nothing)
                break;
            if (outcome == CommandConnection::ReadOutcome::Ended
                || outcome == CommandConnection::ReadOutcome::Failed) {
                // A client that closed only its sending side still gets
                // the answers it asked for.
                if (c->writeDue)
                    writeAnswers(id);
                if (outcome == CommandConnection::ReadOutcome::Ended)
                    peerClosed(id);
                else
                    socketFailed(id);
                return;
            }
            account(*c);
            if (!withinBounds(id))
                return;
        }
        if (takeRequests(id, turnLeft))
            break;
    }
    // The turn's answers go out in one write when the batch is served
    // (writeDueAnswers): a client with many connections then finds them
    // together and wakes once for all of them.
}

// One connection's unread requests and all connections' held bytes stay
// bounded. False when this connection was closed.
bool CommandServer::withinBounds(quint64 id)
{
    CommandConnection *c = connection(id);
    if (!c)
        return false;
    const int remaining = c->unreadBytes();
    if (remaining > HttpFraming::MaxReceiveBuffer) {
        WRITE_LOG(PrinterLog, QStringLiteral("http连接接收数据过多，连接已关闭，远程端口:%1，字节数:%2")
                                  .arg(portText(c->peerPort()), QString::number(remaining)));
        closeConnection(id);
        return false;
    }
    // The connection holding most goes: one client cannot keep the others'
    // requests out, whoever sent last.
    while (m_heldBytes > m_limits.maxHeldBytes && !m_connections.empty()) {
        CommandConnection *largest = nullptr;
        for (const auto &entry : m_connections) {
            if (!largest || entry.second->countedBytes > largest->countedBytes)
                largest = entry.second.get();
        }
        WRITE_LOG(PrinterLog, QStringLiteral("http连接占用内存过多，连接已关闭，远程端口:%1，字节数:%2")
                                  .arg(portText(largest->peerPort()), QString::number(largest->countedBytes)));
        closeConnection(largest->id());
    }
    return connection(id) != nullptr;
}

// A connection's next request waits while one of its requests is inside the
// dispatch call (which may run an event loop of its own), so that commands
// are handed over one after the other in request order; and while a turn's
// worth of its requests are in line for their answers.
bool CommandServer::mustWait(const CommandConnection &connection) const
{
    return connection.handingOver || connection.placesInLine() >= m_limits.requestsPerTurn;
}

bool CommandServer::takeRequests(quint64 id, int &turnLeft)
{
    for (;;) {
        CommandConnection *c = connection(id);
        if (!c)
            return true;
        // An answer going out takes the rest up again (commandAnswered).
        if (mustWait(*c))
            return true;
        if (c->unreadBytes() <= 0) {
            c->compact();
            account(*c);
            c->needsBytes = true;
            return false;
        }
        // Others wait while this connection's requests are taken; after a
        // turn's worth, they go first.
        if (turnLeft <= 0) {
            c->needsBytes = false;
            queueTurn(*c);
            return true;
        }
        const QString port = c->portText();
        const HttpFraming::Result result = c->nextRequest();
        switch (result.step) {
        case Step::HeaderPending:
        case Step::BodyPending:
            c->needsBytes = true;
            return false;
        case Step::NotPost:
            WRITE_LOG(PrinterLog, QStringLiteral("http连接不是POST请求, 远程端口:%1, 内容:%2")
                                      .arg(port, QString::fromUtf8(result.header)));
            c->discardInput();
            account(*c);
            closeGracefully(id);
            return true;
        case Step::BadLength:
            WRITE_LOG(PrinterLog, QStringLiteral("http连接Content-Length无效，连接已关闭，远程端口:%1，长度:%2")
                                      .arg(port, QString::number(result.length)));
            closeConnection(id);
            return true;
        case Step::TooLarge:
            WRITE_LOG(PrinterLog, QStringLiteral("http连接请求过大，连接已关闭，远程端口:%1，长度:%2")
                                      .arg(port, QString::number(result.length)));
            closeConnection(id);
            return true;
        case Step::Preflight:
            answerPreflight(id, result.header);
            --turnLeft;
            continue;
        case Step::Request:
            break;
        }

        WRITE_LOG_WITH_BYTES(PrinterLog, c->requestLogHead, result.body);
        --turnLeft;
        c->needsBytes = false;
        c->lastProgressMs = nowMs();
        dispatchRequest(id, result.body);
        c = connection(id);
        if (!c)
            return true;
        c->logNextRequest();
    }
}

// The answer may come now or later; either way it goes out in its place.
void CommandServer::dispatchRequest(quint64 id, const QByteArray &body)
{
    CommandConnection *c = connection(id);
    const quint64 place = c->takePlace();
    c->handingOver = true;
    m_dispatch(body, answerFor(id, place));
    c = connection(id);
    if (c)
        c->handingOver = false;
}

CommandServer::Answer CommandServer::answerFor(quint64 id, quint64 place)
{
    const QPointer<CommandServer> server(this);
    return [server, id, place](const QString &answer) {
        if (server)
            server->commandAnswered(id, place, answer);
    };
}

void CommandServer::commandAnswered(quint64 id, quint64 place, const QString &answer)
{
    CommandConnection *c = connection(id);
    // The client left meanwhile.
    if (!c)
        return;
    c->lastProgressMs = nowMs();
    sendResponse(id, place, answer);
    c = connection(id);
    // Answered while being handed over: takeRequests goes on by itself.
    if (!c || c->handingOver)
        return;
    queueTurn(*c);
}

void CommandServer::queueTurn(CommandConnection &connection)
{
    if (connection.turnQueued)
        return;
    connection.turnQueued = true;
    const quint64 id = connection.id();
    QMetaObject::invokeMethod(
        this,
        [this, id] {
            CommandConnection *c = this->connection(id);
            if (!c)
                return;
            c->turnQueued = false;
            serve(id);
            writeDueAnswers();
        },
        Qt::QueuedConnection);
}

// A browser asks this before a cross-origin POST with a JSON content type.
// The answer queues behind the connection's earlier answers like any other.
void CommandServer::answerPreflight(quint64 id, const QByteArray &header)
{
    CommandConnection *c = connection(id);
    if (!c)
        return;
    c->lastProgressMs = nowMs();
    const QString origin = QString::fromUtf8(HttpFraming::headerField(header, "Origin").left(200));
    WRITE_LOG(PrinterLog, QStringLiteral("http连接CORS预检请求，远程端口:%1，来源:%2")
                              .arg(portText(c->peerPort()), origin));
    sendFramed(id, c->takePlace(), HttpFraming::framePreflight(header));
}

// Answers come again and again ({"code":0} and the like): the framed bytes
// of the last one are kept and shared.
void CommandServer::sendResponse(quint64 id, quint64 place, const QString &answer)
{
    if (answer.size() > RememberedAnswerChars) {
        sendFramed(id, place, HttpFraming::frameResponse(answer));
        return;
    }
    if (m_lastFramed.isNull() || answer != m_lastAnswer) {
        m_lastAnswer = answer;
        m_lastFramed = HttpFraming::frameResponse(answer);
    }
    sendFramed(id, place, m_lastFramed);
}

// A second answer to one request is dropped, and so is one for a
// connection that is closing.
void CommandServer::sendFramed(quint64 id, quint64 place, const QByteArray &response)
{
    CommandConnection *c = connection(id);
    if (!c || c->closing)
        return;
    if (!c->fillPlace(place, response))
        return;
    account(*c);
    if (!c->answersWithinBound()) {
        WRITE_LOG(PrinterLog,
                  QStringLiteral("http连接待发送数据过多，连接已关闭，远程端口:%1").arg(portText(c->peerPort())));
        closeConnection(id);
        return;
    }
    if (!withinBounds(id))
        return;
    // Waiting for an earlier answer, or for the socket to take more.
    if (c->answersWaiting() == 0 || c->writeBlocked)
        return;
    // Answered inside the dispatch call: written with the rest of the turn.
    if (c->handingOver) {
        if (!c->writeDue) {
            c->writeDue = true;
            m_writesDue.push_back(id);
        }
        return;
    }
    writeAnswers(id);
}

void CommandServer::writeAnswers(quint64 id)
{
    CommandConnection *c = connection(id);
    if (!c)
        return;
    c->writeDue = false;
    if (c->writeBlocked)
        return;
    switch (c->writeAnswers()) {
    case CommandConnection::WriteOutcome::AllWritten:
        account(*c);
        c->lastProgressMs = nowMs();
        if (c->closing)
            endConnection(id);
        return;
    case CommandConnection::WriteOutcome::Blocked:
        c->writeBlocked = true;
        account(*c);
        return;
    case CommandConnection::WriteOutcome::Ended:
        peerClosed(id);
        return;
    case CommandConnection::WriteOutcome::Failed:
        socketFailed(id);
        return;
    }
}

void CommandServer::writeDueAnswers()
{
    if (m_writesDue.empty())
        return;
    // Swapped with a kept list, so that neither is allocated again: answers
    // written here may make others due.
    std::vector<quint64> due;
    due.swap(m_writesDueSpare);
    due.swap(m_writesDue);
    for (quint64 id : due) {
        const CommandConnection *c = connection(id);
        if (c && c->writeDue)
            writeAnswers(id);
    }
    due.clear();
    due.swap(m_writesDueSpare);
}

void CommandServer::closeGracefully(quint64 id)
{
    CommandConnection *c = connection(id);
    if (!c)
        return;
    c->closing = true;
    c->mayRead = false;
    if (c->answersWaiting() == 0) {
        endConnection(id);
        return;
    }
    writeAnswers(id);
}

void CommandServer::account(CommandConnection &connection)
{
    const qint64 held = connection.bytesHeld();
    m_heldBytes += held - connection.countedBytes;
    connection.countedBytes = held;
}

// At once, whatever is unsent.
void CommandServer::closeConnection(quint64 id)
{
    endConnection(id);
}

void CommandServer::peerClosed(quint64 id)
{
    if (!connection(id))
        return;
    WRITE_LOG(PrinterLog, QStringLiteral("Http连接Socket error: %1 - %2")
                              .arg(QString::number(RemoteHostClosedCode), QLatin1String(RemoteHostClosedText)));
    endConnection(id);
}

void CommandServer::socketFailed(quint64 id)
{
    const CommandConnection *c = connection(id);
    if (!c)
        return;
    WRITE_LOG(PrinterLog, QStringLiteral("Http连接Socket error: %1 - %2")
                              .arg(QString::number(NetworkErrorCode), c->socket().errorString()));
    endConnection(id);
}

void CommandServer::endConnection(quint64 id)
{
    const CommandConnection *c = connection(id);
    if (!c)
        return;
    WRITE_LOG(PrinterLog, QStringLiteral("HTTP连接断开,port:%1").arg(portText(c->peerPort())));
    dropConnection(id);
}

void CommandServer::dropConnection(quint64 id)
{
    const auto it = m_connections.find(id);
    if (it == m_connections.end())
        return;
    std::unique_ptr<CommandConnection> c = std::move(it->second);
    m_connections.erase(it);
    m_heldBytes -= c->countedBytes;
    const auto peer = m_connectionsPerPeer.find(c->peer());
    if (peer != m_connectionsPerPeer.end() && --peer.value() <= 0)
        m_connectionsPerPeer.erase(peer);
}

void CommandServer::closeIdleConnections()
{
    const qint64 now = nowMs();
    QVector<quint64> idle;
    for (const auto &entry : m_connections) {
        const CommandConnection &c = *entry.second;
        if (!c.isDispatching() && now - c.lastProgressMs >= m_limits.idleTimeoutMs)
            idle.append(c.id());
    }
    if (idle.isEmpty())
        return;
    WRITE_LOG(PrinterLog, QStringLiteral("http连接%1秒内未收到完整请求，关闭%2个连接")
                              .arg(QString::number(m_limits.idleTimeoutMs / 1000.0), QString::number(idle.size())));
    for (quint64 id : qAsConst(idle))
        closeConnection(id);
}
