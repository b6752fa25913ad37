#include "platform/StreamSocket.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Enough for a turn of answers; more wait for the next call.
constexpr int MaxPieces = 64;
constexpr int ReadScratchBytes = 64 * 1024;

bool peerIsGone(int error)
{
    return error == ECONNRESET || error == EPIPE;
}

// No thread of the service is ever cancelled, so the calls that run for
// every request go straight to the kernel, without the C library's
// cancellation bookkeeping around them (a few per cent of a request).
ssize_t directRecv(int descriptor, void *buffer, size_t size)
{
    return ssize_t(::syscall(SYS_recvfrom, descriptor, buffer, size, 0, nullptr, nullptr));
}

ssize_t directSendmsg(int descriptor, const msghdr *message, int flags)
{
    return ssize_t(::syscall(SYS_sendmsg, descriptor, message, flags));
}

} // namespace

StreamSocket::StreamSocket(int descriptor) : m_descriptor(descriptor) {}

StreamSocket::~StreamSocket()
{
    close();
}

bool StreamSocket::makeNonBlocking()
{
    const int flags = ::fcntl(m_descriptor, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK))
        return true;
    if (flags >= 0 && ::fcntl(m_descriptor, F_SETFL, flags | O_NONBLOCK) == 0)
        return true;
    noteError(errno);
    return false;
}

void StreamSocket::setLowDelayAndKeepAlive()
{
    const int on = 1;
    ::setsockopt(m_descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(m_descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

QHostAddress StreamSocket::peerAddress() const
{
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    if (::getpeername(m_descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return QHostAddress();
    return QHostAddress(reinterpret_cast<const sockaddr *>(&address));
}

quint16 StreamSocket::peerPort() const
{
    sockaddr_storage address = {};
    socklen_t length = sizeof address;
    if (::getpeername(m_descriptor, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port);
    return 0;
}

StreamSocket::ReadStatus StreamSocket::readInto(QByteArray &buffer, int maxBytes, int *bytesRead)
{
    *bytesRead = 0;
    // Read into a scratch area first: the buffer grows only by what came,
    // and holds no room for a whole read while its request is incomplete.
    thread_local char scratch[ReadScratchBytes];
    const size_t wanted = size_t(qBound(1, maxBytes, ReadScratchBytes));
    ssize_t count = -1;
    do {
        count = directRecv(m_descriptor, scratch, wanted);
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
        buffer.append(scratch, int(count));
        *bytesRead = int(count);
        return ReadStatus::Data;
    }
    if (count == 0)
        return ReadStatus::EndOfStream;
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK)
        return ReadStatus::WouldBlock;
    noteError(error);
    return peerIsGone(error) ? ReadStatus::EndOfStream : ReadStatus::Failed;
}

StreamSocket::WriteStatus StreamSocket::writeRun(const QList<QByteArray> &pieces, int offset, qint64 *bytesWritten)
{
    *bytesWritten = 0;
    iovec vector[MaxPieces];
    int count = 0;
    int next = 0;
    qint64 total = 0;
    for (; next < pieces.size() && count < MaxPieces; ++next) {
        const int i = next;
        const QByteArray &piece = pieces.at(i);
        const int skip = i == 0 ? offset : 0;
        if (piece.size() <= skip)
            continue;
        vector[count].iov_base = const_cast<char *>(piece.constData() + skip);
        vector[count].iov_len = size_t(piece.size() - skip);
        total += qint64(vector[count].iov_len);
        ++count;
    }
    if (count == 0)
        return WriteStatus::AllWritten;
    msghdr message = {};
    message.msg_iov = vector;
    message.msg_iovlen = size_t(count);
    ssize_t sent = -1;
    do {
        sent = directSendmsg(m_descriptor, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK)
            return WriteStatus::Partly;
        noteError(error);
        return peerIsGone(error) ? WriteStatus::Closed : WriteStatus::Failed;
    }
    *bytesWritten = sent;
    // Pieces beyond the fixed number count as not yet written.
    return sent == total && next == pieces.size() ? WriteStatus::AllWritten : WriteStatus::Partly;
}

void StreamSocket::shutdownWrite()
{
    if (m_descriptor >= 0)
        ::shutdown(m_descriptor, SHUT_WR);
}

void StreamSocket::close()
{
    if (m_descriptor < 0)
        return;
    ::close(m_descriptor);
    m_descriptor = -1;
}

void StreamSocket::noteError(int error)
{
    m_error = QString::fromLocal8Bit(std::strerror(error));
}
