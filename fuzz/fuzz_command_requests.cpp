// Feeds arbitrary bytes to the request framing, cut into arrivals the way
// the input itself says, and reads every command body found the way the
// dispatcher does. Checks that no cut changes what is found and that the
// bounds hold.

#include "common/LenientJson.h"
#include "common/UpdateConfig.h"
#include "service/http/CommandRequest.h"
#include "service/http/HttpFraming.h"
#include "service/printing/ReceiptLogo.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

namespace {

struct Outcome
{
    QList<QByteArray> bodies;
    HttpFraming::Step last = HttpFraming::Step::HeaderPending;
    bool sawHeaderBound = false;
};

// The server's loop: append an arrival, take requests until one is pending
// or the connection would be closed.
Outcome frame(const QByteArray &stream, const QList<int> &arrivals)
{
    using HttpFraming::Step;
    Outcome outcome;
    ConnectionState state;
    int from = 0;
    for (int i = 0; i <= arrivals.size(); ++i) {
        const int size = i < arrivals.size() ? arrivals.at(i) : stream.size() - from;
        if (state.consumed > 0 && state.consumed >= HttpFraming::remainingBytes(state))
            HttpFraming::compact(state);
        state.receiveBuffer += stream.mid(from, size);
        from += size;
        if (HttpFraming::remainingBytes(state) > HttpFraming::MaxReceiveBuffer)
            return outcome;
        while (HttpFraming::remainingBytes(state) > 0) {
            const HttpFraming::Result result = HttpFraming::nextRequest(state);
            outcome.last = result.step;
            if (result.step == Step::Request) {
                if (result.body.size() > HttpFraming::MaxContentLength)
                    abort();
                outcome.bodies.append(result.body);
                continue;
            }
            if (result.step == Step::Preflight) {
                // Nothing the client sends may add a line to the answer.
                const QByteArray answer = HttpFraming::framePreflight(result.header);
                if (answer.count("\r\n") > 8 || answer.count('\n') != answer.count("\r\n")
                    || answer.indexOf("\r\n\r\n") != answer.size() - 4)
                    abort();
                continue;
            }
            if (result.step == Step::TooLarge && result.length <= HttpFraming::MaxContentLength)
                outcome.sawHeaderBound = true;
            if (result.step != Step::HeaderPending && result.step != Step::BodyPending)
                return outcome;
            break;
        }
        if (state.consumed < 0 || state.consumed > state.receiveBuffer.size())
            abort();
    }
    return outcome;
}

void readCommand(const QByteArray &body)
{
    using namespace CommandRequest;
    const QJsonObject command = parseCommand(body);
    for (auto it = command.constBegin(); it != command.constEnd(); ++it) {
        LenientJson::readInt(it.value());
        LenientJson::readString(it.value());
        LenientJson::readUnsigned(it.value());
        LenientJson::readText(it.value());
        hasValue(command, it.key());
    }
    QString content = LenientJson::readString(command.value(QLatin1String("data")));
    const QString url = ReceiptLogo::logoUrl(content);
    if (!url.isEmpty()) {
        if (!content.contains(url))
            abort();
        content.replace(url, QStringLiteral("/opt/korvel/image/0123.png"));
    }

    QJsonObject stored = command.value(QLatin1String("stored")).toObject();
    const bool fixed = LenientJson::readText(stored.value(QLatin1String("device"))) == QLatin1String("66");
    const QJsonValue deviceBefore = stored.value(QLatin1String("device"));
    UpdateConfig::mergeRequest(stored, command);
    if (fixed && stored.value(QLatin1String("device")) != deviceBefore)
        abort();

    const QByteArray response = HttpFraming::frameResponse(QString::fromUtf8(body));
    const int end = response.indexOf("\r\n\r\n");
    const int lengthAt = response.indexOf("Content-Length:") + 15;
    if (end < 0 || response.mid(lengthAt, response.indexOf('\r', lengthAt) - lengthAt).toInt() != response.size() - end - 4)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses how the rest is cut into arrivals.
    const unsigned cutSeed = data[0];
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));

    QList<int> arrivals;
    int left = stream.size();
    unsigned seed = cutSeed * 2654435761u + 1;
    while (left > 0 && arrivals.size() < 64) {
        seed = seed * 1103515245u + 12345u;
        const int piece = qMin(left, int(1 + (seed >> 16) % 97));
        arrivals.append(piece);
        left -= piece;
    }

    const Outcome whole = frame(stream, {});
    const Outcome pieces = frame(stream, arrivals);
    if (!whole.sawHeaderBound && !pieces.sawHeaderBound && whole.bodies != pieces.bodies)
        abort();
    for (const QByteArray &body : whole.bodies)
        readCommand(body);
    return 0;
}
