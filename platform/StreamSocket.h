#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>

// A connected TCP descriptor, non-blocking, read and written directly: no
// buffer of its own beyond what the caller hands in, so bytes the caller
// does not ask for stay with the system and hold the peer back.
class StreamSocket
{
public:
    enum class ReadStatus {
        Data,         // bytes were appended
        WouldBlock,   // nothing there now
        EndOfStream,  // the peer closed its side, or reset the connection
        Failed,       // see errorString()
    };

    enum class WriteStatus {
        AllWritten,
        Partly,       // the system took less; the rest waits for write readiness
        Closed,       // the peer is gone (closed or reset)
        Failed,
    };

    // Takes the descriptor: it is closed with this object.
    explicit StreamSocket(int descriptor);
    ~StreamSocket();
    StreamSocket(const StreamSocket &) = delete;
    StreamSocket &operator=(const StreamSocket &) = delete;

    int descriptor() const { return m_descriptor; }
    bool isOpen() const { return m_descriptor >= 0; }

    // Non-blocking; false (with errorString) when the descriptor refuses.
    bool makeNonBlocking();
    // Small answers go out at once, and a vanished peer is noticed at last.
    void setLowDelayAndKeepAlive();

    // IPv4 peers of a dual-stack socket come IPv4-mapped, as the system gives them.
    QHostAddress peerAddress() const;
    quint16 peerPort() const;

    // Appends up to maxBytes (at most 64 KiB) to buffer; *bytesRead says how many.
    ReadStatus readInto(QByteArray &buffer, int maxBytes, int *bytesRead);

    // Writes pieces[0] from offset on and the pieces after it with one
    // system call (at most a fixed number of pieces); *bytesWritten says how
    // many bytes went. Never raises SIGPIPE.
    WriteStatus writeRun(const QList<QByteArray> &pieces, int offset, qint64 *bytesWritten);

    // No more bytes from us; reading goes on.
    void shutdownWrite();
    void close();

    // The system's text for the last failure.
    QString errorString() const { return m_error; }

private:
    void noteError(int error);

    int m_descriptor;
    QString m_error;
};
