#pragma once

#include "platform/StreamSocket.h"
#include "service/http/HttpFraming.h"

#include <QHostAddress>

#include <deque>
#include <memory>

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
    // What a read brought.
    enum class ReadOutcome {
        Data,
        Nothing,   // the system has nothing more for now
        Ended,     // the peer closed or reset its side
        Failed,    // see socket().errorString()
    };

    // What a write of the waiting answers left.
    enum class WriteOutcome {
        AllWritten,
        Blocked,   // the rest waits until the socket is writable again
        Ended,     // the peer is gone
        Failed,
    };

    CommandConnection(quint64 id, std::unique_ptr<StreamSocket> socket, const QHostAddress &peer, quint16 peerPort);
    CommandConnection(const CommandConnection &) = delete;
    CommandConnection &operator=(const CommandConnection &) = delete;

    quint64 id() const { return m_id; }
    StreamSocket &socket() const { return *m_socket; }
    const QHostAddress &peer() const { return m_peer; }
    quint16 peerPort() const { return m_state.peerPort; }
    // The port as the log writes it, made once.
    const QString &portText() const { return m_portText; }
    // A command of this connection awaits its answer.
    bool isDispatching() const { return m_state.dispatching; }

    // Received request bytes and answers not yet handed to the socket.
    qint64 bytesHeld() const;
    // Received bytes not yet cut into requests.
    int unreadBytes() const { return HttpFraming::remainingBytes(m_state); }

    // Appends one bounded read's worth of what the system holds.
    ReadOutcome readSome();
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
    // False when the answers held here exceed their bound: a client that
    // keeps sending without reading its answers.
    bool answersWithinBound() const;
    int answersWaiting() const { return m_state.pendingResponses.size(); }
    // Hands every waiting answer to the socket, as many as it takes, in
    // one system call where they fit.
    WriteOutcome writeAnswers();

    // The server's bookkeeping.
    qint64 lastProgressMs = 0;   // accepted, a request complete, or the answers all taken
    // The start of the log line of each request, made once.
    QString requestLogHead;
    qint64 countedBytes = 0;     // what the server's held-bytes total counts for it
    bool turnQueued = false;     // yielded; its next requests are taken on a later turn
    bool needsBytes = true;      // what has been read holds no complete request
    bool handingOver = false;    // one of its requests is inside the dispatch call now
    bool mayRead = false;        // the system may hold bytes (or the end) not read yet
    bool peerHungUp = false;     // the system told of the peer's end; a read returns it
    bool writeBlocked = false;   // answers wait for the socket to be writable
    bool writeDue = false;       // answers came due inside a dispatch call; written after it
    bool closing = false;        // ends once the waiting answers are out; reads nothing more

private:
    // Forgets the answers the socket took.
    void dropWritten(qint64 written);

    quint64 m_id;
    std::unique_ptr<StreamSocket> m_socket;
    QHostAddress m_peer;
    QString m_portText;
    ConnectionState m_state;
    // Answers by place in line, from m_firstPlace on; null while awaited.
    std::deque<QByteArray> m_line;
    quint64 m_firstPlace = 0;
    int m_awaited = 0;
    qint64 m_lineBytes = 0;   // answers in line, waiting for those ahead
};
