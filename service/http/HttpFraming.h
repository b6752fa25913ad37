#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

// What the command server keeps for one client connection.
struct ConnectionState
{
    qint32 contentLength = 0;            // 0: a header is awaited; else the announced body length
    QByteArray receiveBuffer;            // received bytes; those before `consumed` are already taken
    QList<QByteArray> pendingResponses;  // framed answers not yet wholly handed to the socket
    qint32 sentBytes = 0;                // bytes of the first pending answer the socket took

    quint16 peerPort = 0;                // for the log, also after the peer has gone
    int consumed = 0;                    // front of receiveBuffer already cut into requests
    int headerScanFrom = 0;              // where the search for the blank line goes on
    qint64 pendingBytes = 0;             // total size of pendingResponses
    bool dispatching = false;            // a command of this connection awaits its answer
    bool headerWaitLogged = false;       // the wait for this request's header is told once,
    bool bodyWaitLogged = false;         // and so is the wait for its body
};

// Cuts requests out of a connection's byte stream: a header up to the blank
// line (only POST, only the first "Content-Length:" line looked at), then
// exactly that many body bytes. An OPTIONS header (a browser's preflight) is
// taken on its own: it has no body. Kept free of sockets so it can be exercised
// directly.
namespace HttpFraming {

// A receipt with its logo reference is a few KiB; these leave ample room and
// keep a hostile client from making the service hold unbounded memory.
constexpr qint32 MaxContentLength = 4 * 1024 * 1024;
constexpr int MaxHeaderBytes = 64 * 1024;
constexpr int MaxReceiveBuffer = MaxContentLength + MaxHeaderBytes;
constexpr qint64 MaxPendingResponseBytes = 8 * 1024 * 1024;

enum class Step {
    Request,        // `body` holds the next complete request body
    HeaderPending,  // no blank line yet; wait for more bytes
    BodyPending,    // header taken, body not complete; wait for more bytes
    NotPost,        // the header does not start with POST; `header` holds it
    BadLength,      // negative Content-Length; `length` holds it
    TooLarge,       // announced length or header beyond the bounds; `length` holds it
    Preflight,      // a browser's OPTIONS request before a cross-origin POST; `header` holds it
};

struct Result
{
    Step step = Step::HeaderPending;
    QByteArray body;
    QByteArray header;
    qint64 length = 0;
};

// Unconsumed bytes in the buffer.
inline int remainingBytes(const ConnectionState &state)
{
    return state.receiveBuffer.size() - state.consumed;
}

// Takes the next request out of state.receiveBuffer (starting at
// state.consumed). Call only while remainingBytes(state) > 0.
Result nextRequest(ConnectionState &state);

// Drops the consumed front of the buffer. Done once per batch of requests
// rather than per request, so many small pipelined requests cost linear time.
void compact(ConnectionState &state);

// The value of the first header line containing "Content-Length:"; 0 when
// there is none or its value is not a decimal number.
qint64 contentLengthOf(const QByteArray &header);

// The fixed 200 header and the answer as UTF-8 (up to a first zero character).
QByteArray frameResponse(const QString &answer);

// Longest Access-Control-Allow-Headers value echoed; more names are left out.
constexpr int MaxAllowedHeadersBytes = 512;
constexpr int PreflightMaxAgeSeconds = 600;

// The value of the first header field of that name (case-insensitive),
// trimmed; null when there is none.
QByteArray headerField(const QByteArray &header, const QByteArray &name);

// The header names a preflight asked for that are HTTP tokens, joined by
// ", ", as many as fit MaxAllowedHeadersBytes.
QByteArray allowedHeaders(const QByteArray &requested);

// The 204 answer to a preflight: any origin may POST with the headers it
// asked for, also from a public page to this private address.
QByteArray framePreflight(const QByteArray &header);

} // namespace HttpFraming
