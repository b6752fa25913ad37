#include "service/http/HttpFraming.h"

#include <cstring>

namespace HttpFraming {

namespace {

const QByteArray HeaderEnd = QByteArrayLiteral("\r\n\r\n");

// What QByteArray::trimmed takes away.
bool isAsciiSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isTokenChar(char c)
{
    static const QByteArray Specials = QByteArrayLiteral("!#$%&'*+-.^_`|~");
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || Specials.contains(c);
}

bool isToken(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

// Where "Content-Length:" first occurs in the header, or -1: a jump from
// one 'C' to the next. Qt's indexOf sets up a hashed search for every call,
// which costs more than the whole scan of a request header.
int findContentLength(const QByteArray &header)
{
    static const char Field[] = "Content-Length:";
    constexpr size_t FieldSize = sizeof Field - 1;
    const char *begin = header.constData();
    const char *end = begin + header.size();
    for (const char *at = begin; size_t(end - at) >= FieldSize; ++at) {
        at = static_cast<const char *>(memchr(at, 'C', size_t(end - at) - FieldSize + 1));
        if (!at)
            return -1;
        if (memcmp(at, Field, FieldSize) == 0)
            return int(at - begin);
    }
    return -1;
}

// Where the blank line "\r\n\r\n" that ends a header starts, looking from
// `from`, or -1: a jump from line feed to line feed.
int findHeaderEnd(const QByteArray &text, int from)
{
    const char *begin = text.constData();
    const char *end = begin + text.size();
    const char *at = begin + qMax(from, 0) + 1;
    while (at < end) {
        const char *feed = static_cast<const char *>(memchr(at, '\n', size_t(end - at)));
        if (!feed || end - feed < 3)
            return -1;
        if (feed[-1] == '\r' && feed[1] == '\r' && feed[2] == '\n')
            return int(feed - 1 - begin);
        at = feed + 1;
    }
    return -1;
}

// QByteArray::indexOf(char) with memchr: Qt's compares byte by byte.
int indexOfByte(const QByteArray &text, char byte, int from)
{
    if (from < 0 || from >= text.size())
        return -1;
    const char *begin = text.constData();
    const void *found = memchr(begin + from, byte, size_t(text.size() - from));
    return found ? int(static_cast<const char *>(found) - begin) : -1;
}

} // namespace

qint64 contentLengthOf(const QByteArray &header)
{
    // Searched in place rather than split into lines: this runs for every
    // request. The value is what lies between the line's first and second
    // colon, as a split on ':' would give.
    const int at = findContentLength(header);
    if (at < 0)
        return 0;
    const int lineStart = at == 0 ? 0 : header.lastIndexOf('\n', at - 1) + 1;
    int lineEnd = indexOfByte(header, '\n', at);
    if (lineEnd < 0)
        lineEnd = header.size();
    const int firstColon = indexOfByte(header, ':', lineStart);
    int secondColon = indexOfByte(header, ':', firstColon + 1);
    if (secondColon < 0 || secondColon > lineEnd)
        secondColon = lineEnd;
    const char *from = header.constData() + firstColon + 1;
    const char *to = header.constData() + secondColon;
    while (from < to && isAsciiSpace(*from))
        ++from;
    while (to > from && isAsciiSpace(to[-1]))
        --to;
    // The usual plain number is read here; signs, overlong numbers and
    // anything else go the general way.
    if (to > from && to - from <= 18) {
        qint64 length = 0;
        const char *digit = from;
        for (; digit < to && *digit >= '0' && *digit <= '9'; ++digit)
            length = length * 10 + (*digit - '0');
        if (digit == to)
            return length;
    }
    bool ok = false;
    const qint64 length = QByteArray(from, int(to - from)).toLongLong(&ok, 10);
    return ok ? length : 0;
}

Result nextRequest(ConnectionState &state)
{
    Result result;
    const QByteArray &buffer = state.receiveBuffer;

    if (state.contentLength == 0) {
        // The blank line may straddle the previous arrival's end: look again
        // from three bytes before it.
        const int from = qMax(state.consumed, state.headerScanFrom);
        const int end = findHeaderEnd(buffer, from);
        if (end < 0) {
            state.headerScanFrom = qMax(state.consumed, buffer.size() - (HeaderEnd.size() - 1));
            result.step = remainingBytes(state) > MaxHeaderBytes ? Step::TooLarge : Step::HeaderPending;
            result.length = remainingBytes(state);
            return result;
        }
        // A view, not a copy: only the rare header that is not a POST is kept.
        const QByteArray header = QByteArray::fromRawData(buffer.constData() + state.consumed, end - state.consumed);
        if (header.startsWith("OPTIONS ")) {
            result.step = Step::Preflight;
            result.header = QByteArray(header.constData(), header.size());
            state.consumed = end + HeaderEnd.size();
            state.headerScanFrom = state.consumed;
            return result;
        }
        if (!header.startsWith("POST")) {
            result.step = Step::NotPost;
            result.header = QByteArray(header.constData(), header.size());
            return result;
        }
        const qint64 length = contentLengthOf(header);
        if (length < 0 || length > MaxContentLength) {
            result.step = length < 0 ? Step::BadLength : Step::TooLarge;
            result.length = length;
            return result;
        }
        state.contentLength = static_cast<qint32>(length);
        state.consumed = end + HeaderEnd.size();
        state.headerScanFrom = state.consumed;
    }

    if (remainingBytes(state) < state.contentLength) {
        result.step = Step::BodyPending;
        return result;
    }
    result.step = Step::Request;
    result.body = buffer.mid(state.consumed, state.contentLength);
    state.consumed += state.contentLength;
    state.headerScanFrom = state.consumed;
    state.contentLength = 0;
    return result;
}

void compact(ConnectionState &state)
{
    if (state.consumed == 0)
        return;
    state.receiveBuffer.remove(0, state.consumed);
    state.headerScanFrom = qMax(0, state.headerScanFrom - state.consumed);
    state.consumed = 0;
}

QByteArray frameResponse(const QString &answer)
{
    const int zero = answer.indexOf(QChar(0));
    const QByteArray body = zero < 0 ? answer.toUtf8() : answer.leftRef(zero).toUtf8();
    static const QByteArray head = QByteArrayLiteral("HTTP/1.1 200 OK\r\n"
                                                     "Access-Control-Allow-origin: *\r\n"
                                                     "Content-Type:application/json\r\n"
                                                     "Content-Length:");
    const QByteArray length = QByteArray::number(body.size());
    // One allocation for the whole answer.
    QByteArray response;
    response.reserve(head.size() + length.size() + 4 + body.size());
    response += head;
    response += length;
    response += "\r\n\r\n";
    response += body;
    return response;
}

QByteArray headerField(const QByteArray &header, const QByteArray &name)
{
    const QByteArray wanted = name.toLower() + ':';
    const QList<QByteArray> lines = header.split('\n');
    // The first line is the request line, not a field.
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        if (line.size() >= wanted.size() && line.left(wanted.size()).toLower() == wanted)
            return line.mid(wanted.size()).trimmed();
    }
    return QByteArray();
}

QByteArray allowedHeaders(const QByteArray &requested)
{
    QByteArray allowed;
    for (const QByteArray &piece : requested.split(',')) {
        const QByteArray name = piece.trimmed();
        if (!isToken(name))
            continue;
        const int added = (allowed.isEmpty() ? 0 : 2) + name.size();
        if (allowed.size() + added > MaxAllowedHeadersBytes)
            break;
        if (!allowed.isEmpty())
            allowed += ", ";
        allowed += name;
    }
    return allowed;
}

QByteArray framePreflight(const QByteArray &header)
{
    QByteArray response = QByteArrayLiteral("HTTP/1.1 204 No Content\r\n"
                                            "Access-Control-Allow-Origin: *\r\n"
                                            "Access-Control-Allow-Methods: POST, OPTIONS\r\n");
    const QByteArray headers = allowedHeaders(headerField(header, "Access-Control-Request-Headers"));
    if (!headers.isEmpty())
        response += "Access-Control-Allow-Headers: " + headers + "\r\n";
    if (headerField(header, "Access-Control-Request-Private-Network").toLower() == "true")
        response += "Access-Control-Allow-Private-Network: true\r\n";
    response += "Access-Control-Max-Age: " + QByteArray::number(PreflightMaxAgeSeconds) + "\r\n";
    response += "Content-Length: 0\r\n\r\n";
    return response;
}

} // namespace HttpFraming
