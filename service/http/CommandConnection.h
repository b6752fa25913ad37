#pragma once

#include "service/http/HttpFraming.h"

#include <QHostAddress>
#include <QMetaObject>

#include <deque>

class QTcpSocket;

// One client connection of the command server: its socket, the requests cut
// out of its byte stream and its answers waiting to go out, in order. The
// server decides when to read, whose turn it is and whom to close; the
// connection keeps the bytes.
//
// Several requests may await their answers at once, so that pipelined
// commands can share work (one write of a file for many changes); each
// holds a place in line, and an answer that comes early waits there for
// those ahead of it.
class CommandConnection
{
public:
    // What a report of written bytes leaves to do.
    enum class WriteProgress {
        Writing,     // the first answer is not wholly handed to the socket yet
        NextAnswer,  // an answer went out and the next one was started
        AllWritten,  // no answer waits any more
    };

    // Takes the socket: it goes with the connection, from the event loop,
    // since the connection may end inside one of the socket's own signals.
    CommandConnection(quint64 id, QTcpSocket *socket, const QHostAddress &peer);
    ~CommandConnection();
    CommandConnection(const CommandConnection &) = delete;
    CommandConnection &operator=(const CommandConnection &) = delete;

    // For a server going away: no event loop may follow to delete it later.
    void deleteSocketNow();

    quint64 id() const { return m_id; }
    QTcpSocket *socket() const { return m_socket; }
    const QHostAddress &peer() const { return m_peer; }
    quint16 peerPort() const { return m_state.peerPort; }
    // A command of this connection awaits its answer.
    bool isDispatching() const { return m_state.dispatching; }

    // Received request bytes and answers not yet handed to the socket.
    qint64 bytesHeld() const;
    // Received bytes not yet cut into requests.
    int unreadBytes() const { return HttpFraming::remainingBytes(m_state); }

    // Appends what the socket holds.
    void readAvailable();
    // The next request or why there is none; the wait for the rest of a
    // request is logged once per request, however many pieces it comes in.
    HttpFraming::Result nextRequest();
    // Drops the consumed front of what was received.
    void compact() { HttpFraming::compact(m_state); }
    // Everything received goes unread (a request that is not a POST).
    void discardInput();
    void logNextRequest() const;

    // The place in line of the request taken now.
    quint64 takePlace();
    // Puts the answer in its place and moves those now due, in request
    // order, to the answers waiting for the socket. False when the place is
    // not open: answered already, or never taken.
    bool fillPlace(quint64 place, const QByteArray &response);
    // Requests taken whose answers are not yet waiting for the socket.
    int placesInLine() const { return int(m_line.size()); }
    // False when the answers held here and in the socket exceed their
    // bound: a client that keeps sending without reading its answers.
    bool answersWithinBound() const;
    int answersWaiting() const { return m_state.pendingResponses.size(); }
    // Hands the only waiting answer to the socket.
    void writeFirstAnswer();
    // After the socket reported written bytes.
    WriteProgress continueWriting();

    // The socket's bytesWritten is watched only while answers wait.
    bool isWatchingWrites() const { return bool(m_writeWatch); }
    void watchWrites(const QMetaObject::Connection &watch) { m_writeWatch = watch; }
    void stopWatchingWrites();

    // The server's bookkeeping.
    qint64 lastProgressMs = 0;   // accepted, a request complete, or the answers all taken
    qint64 countedBytes = 0;     // what the server's held-bytes total counts for it
    bool turnQueued = false;     // yielded; its next requests are taken on a later turn
    bool needsBytes = true;      // what has been read holds no complete request
    bool handingOver = false;    // one of its requests is inside the dispatch call now

private:
    quint64 m_id;
    QTcpSocket *m_socket;
    QHostAddress m_peer;
    ConnectionState m_state;
    QMetaObject::Connection m_writeWatch;
    // Answers by place in line, from m_firstPlace on; null while awaited.
    std::deque<QByteArray> m_line;
    quint64 m_firstPlace = 0;
    int m_awaited = 0;
    qint64 m_lineBytes = 0;   // answers in line, waiting for those ahead
};
