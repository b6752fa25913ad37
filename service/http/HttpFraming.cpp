#include "service/http/HttpFraming.h"

namespace HttpFraming {

namespace {

const QByteArray HeaderEnd = QByteArrayLiteral("\r\n\r\n");

} // namespace

qint64 contentLengthOf(const QByteArray &header)
{
    const QList<QByteArray> lines = header.split('\n');
    for (const QByteArray &line : lines) {
        if (!line.contains("Content-Length:"))
            continue;
        const QList<QByteArray> pieces = line.split(':');
        bool ok = false;
        const qint64 value = pieces.value(1).trimmed().toLongLong(&ok, 10);
        return ok ? value : 0;
    }
    return 0;
}

Result nextRequest(ConnectionState &state)
{
    Result result;
    const QByteArray &buffer = state.receiveBuffer;

    if (state.contentLength == 0) {
        // The blank line may straddle the previous arrival's end: look again
        // from three bytes before it.
        const int from = qMax(state.consumed, state.headerScanFrom);
        const int end = buffer.indexOf(HeaderEnd, from);
        if (end < 0) {
            state.headerScanFrom = qMax(state.consumed, buffer.size() - (HeaderEnd.size() - 1));
            result.step = remainingBytes(state) > MaxHeaderBytes ? Step::TooLarge : Step::HeaderPending;
            result.length = remainingBytes(state);
            return result;
        }
        const QByteArray header = buffer.mid(state.consumed, end - state.consumed);
        if (!header.startsWith("POST")) {
            result.step = Step::NotPost;
            result.header = header;
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
    QString text = answer;
    const int zero = text.indexOf(QChar(0));
    if (zero >= 0)
        text.truncate(zero);
    const QByteArray body = text.toUtf8();
    QByteArray response = QStringLiteral("HTTP/1.1 200 OK\r\n"
                                         "Access-Control-Allow-origin: *\r\n"
                                         "Content-Type:application/json\r\n"
                                         "Content-Length:%1\r\n\r\n")
                              .arg(body.size())
                              .toUtf8();
    response += body;
    return response;
}

} // namespace HttpFraming
