#pragma once

#include "common/LogThrottle.h"
#include "platform/ReadinessSet.h"
#include "service/http/CommandConnection.h"

#include <QAbstractSocket>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

class CMultiTcpServer;
class Clock;
class QSocketNotifier;

// The HTTP side of the command interface: admits client connections, takes
// their requests in turns, hands each to the dispatch function and has the
// answers written back in order, within bounds on what all clients together
// hold of the service.
//
// A connection goes on being served while its commands await their
// answers, up to a turn's worth of requests in line: pipelined commands are
// handed over together and can share their work (one write of a file).
// Beyond that its later requests stay unread in the socket (the client is
// held back by TCP) until answers have gone out. Nothing a client sends
// makes the server wait.
//
// The connections are watched through one readiness set: the event loop
// polls a single descriptor however many clients are connected, so idle
// ones cost nothing, and each connection's answers of a turn leave in one
// system call.
class CommandServer : public QObject
{
    Q_OBJECT

public:
    // Takes the answer text to one request, exactly once, now or later.
    using Answer = std::function<void(const QString &answer)>;
    using Dispatch = std::function<void(const QByteArray &body, const Answer &answer)>;

    static constexpr quint16 CommandPort = 12380;

    // What one client, or all of them together, may take of the service.
    struct Limits
    {
        // A connection that has not completed a request (or taken its
        // answers) for this long is closed; checked every idleCheckMs.
        int idleTimeoutMs = 60000;
        int idleCheckMs = 5000;
        // 0: derived from the open-file limit in force when the server is made.
        int maxConnections = 0;
        int maxConnectionsPerPeer = 0;
        // Received request bytes and unsent answers over all connections;
        // beyond it the connection holding most is closed.
        qint64 maxHeldBytes = qint64(64) * 1024 * 1024;
        // Requests of one connection taken before the others have their
        // turn; also how many of its requests may be in line for their
        // answers at once.
        int requestsPerTurn = 16;
        // While the port cannot be had, another try after this long.
        int listenRetryMs = 3000;
        // Idle times are read on its monotonic counter; null: the system clock.
        const Clock *clock = nullptr;
    };

    explicit CommandServer(Dispatch dispatch, QObject *parent = nullptr);
    CommandServer(Dispatch dispatch, const Limits &limits, QObject *parent = nullptr);
    ~CommandServer() override;

    // One attempt, on every address; false when the port is taken.
    bool listen(quint16 port = CommandPort);
    // Listens now or, while the port cannot be had, tries again every
    // listenRetryMs; the failure and the later success are logged once.
    void keepListening(quint16 port = CommandPort);
    bool isListening() const;
    QString listenError() const { return m_listenError; }
    quint16 serverPort() const;
    void close();

    int connectionCount() const { return int(m_connections.size()); }
    int maxConnections() const { return m_limits.maxConnections; }
    int maxConnectionsPerPeer() const { return m_limits.maxConnectionsPerPeer; }

signals:
    // The port was had after failing, or could not be had.
    void listeningChanged(bool listening);

private:
    void newConnectSlot(int nSocketDescriptor);
    // The readiness set has reports: serves the connections they name.
    void watchOwnReadinessSet();
    void onReadiness();
    void handleReadiness(const ReadinessSet::Event *events, int count);

    CommandConnection *connection(quint64 id) const;
    bool admits(const QHostAddress &peer);
    void serve(quint64 id);
    bool withinBounds(quint64 id);
    // True while the connection may not take another request now.
    bool mustWait(const CommandConnection &connection) const;
    // False when the connection needs more bytes to go on; true when it
    // yielded, waits for answers or was closed.
    bool takeRequests(quint64 id, int &turnLeft);
    void dispatchRequest(quint64 id, const QByteArray &body);
    Answer answerFor(quint64 id, quint64 place);
    void commandAnswered(quint64 id, quint64 place, const QString &answer);
    void sendResponse(quint64 id, quint64 place, const QString &answer);
    void sendFramed(quint64 id, quint64 place, const QByteArray &response);
    void writeAnswers(quint64 id);
    // Answers that came due inside dispatch calls, before the event loop
    // waits (a command may run a loop of its own).
    void writeDueAnswers();
    // After a non-POST request: the answers already due go out, then the end.
    void closeGracefully(quint64 id);
    void answerPreflight(quint64 id, const QByteArray &header);
    void queueTurn(CommandConnection &connection);
    void account(CommandConnection &connection);
    void closeConnection(quint64 id);
    void peerClosed(quint64 id);
    void socketFailed(quint64 id);
    void endConnection(quint64 id);
    void dropConnection(quint64 id);
    void closeIdleConnections();
    void tryListen();
    void onAcceptError(QAbstractSocket::SocketError socketError);
    qint64 nowMs() const;
    qint64 clockMs() const;

    Dispatch m_dispatch;
    Limits m_limits;
    CMultiTcpServer *m_tcpServer = nullptr;
    // Inside the event loop's own wait where the loop offers it; otherwise
    // a set of its own, watched by the notifier.
    std::unique_ptr<ReadinessSet> m_readiness;
    QSocketNotifier *m_readinessNotifier = nullptr;
    // Connections whose answers came due inside a dispatch call.
    std::vector<quint64> m_writesDue;
    std::vector<quint64> m_writesDueSpare;
    // Keyed by an id of our own; a socket's signals carry it, so finding the
    // connection does not grow with their number.
    std::unordered_map<quint64, std::unique_ptr<CommandConnection>> m_connections;
    QHash<QHostAddress, int> m_connectionsPerPeer;
    quint64 m_lastId = 0;
    // The time read once for a batch of readiness reports; -1 outside one.
    qint64 m_batchMs = -1;
    qint64 m_heldBytes = 0;
    QTimer m_idleTimer;

    QTimer m_listenRetry;
    quint16 m_listenPort = CommandPort;
    bool m_listenFailed = false;
    QString m_listenError;
    bool m_acceptFailing = false;

    // The last answer (of a bounded length) and its framed bytes.
    QString m_lastAnswer;
    QByteArray m_lastFramed;

    // A flood of refusals must not flood the log.
    LogThrottle m_refusalLog;
};
