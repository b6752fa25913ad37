// Feeds arbitrary bytes to the loopback coordination protocol: the parser
// of received messages, the templates of sent ones, and the test of a
// sender's address by which strangers' requests are refused.

#include "common/CoordinationProtocol.h"
#include "common/LoopbackSocket.h"
#include "common/UntrustedJson.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

// Text the templates carry through unchanged: no quote, backslash or control character.
bool plain(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c == QLatin1Char('"') || c == QLatin1Char('\\') || c.isSurrogate()
            || c == QChar(0x7f))
            return false;
    }
    return true;
}

void checkSender(const uint8_t *bytes, size_t size)
{
    if (size >= 4) {
        quint32 ipv4 = 0;
        std::memcpy(&ipv4, bytes, 4);
        check(LoopbackSocket::isLoopbackSender(QHostAddress(ipv4)) == ((ipv4 >> 24) == 127));
    }
    if (size >= 16) {
        Q_IPV6ADDR ipv6;
        std::memcpy(ipv6.c, bytes, 16);
        static const quint8 zero[10] = {};
        const bool mappedHead = std::memcmp(ipv6.c, zero, 10) == 0 && ipv6.c[10] == 0xff && ipv6.c[11] == 0xff;
        bool one = true;
        for (int i = 0; i < 15; ++i)
            one = one && ipv6.c[i] == 0;
        one = one && ipv6.c[15] == 1;
        check(LoopbackSocket::isLoopbackSender(QHostAddress(ipv6)) == (one || (mappedHead && ipv6.c[12] == 127)));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(bytes), int(size));
    const CoordinationProtocol::Message message = CoordinationProtocol::parse(text);
    const QJsonObject object = UntrustedJson::parseObject(text);
    check(message.query == object.value(QLatin1String("query")).toString());
    check(message.time == object.value(QLatin1String("time")).toString());
    check(message.check == object.value(QLatin1String("check")).toString());
    // What the JSON writer makes never counts as repeating a key.
    if (!object.isEmpty()) {
        check(!UntrustedJson::hasRepeatedKey(QJsonDocument(object).toJson(QJsonDocument::Compact)));
        check(!UntrustedJson::hasRepeatedKey(QJsonDocument(object).toJson(QJsonDocument::Indented)));
    }

    // Two values, split at the first line feed, through the templates and back.
    const int split = text.indexOf('\n');
    const QString query = QString::fromUtf8(text.left(split < 0 ? 0 : split));
    const QString value = QString::fromUtf8(split < 0 ? text : text.mid(split + 1));
    const QByteArray request = CoordinationProtocol::request(query, value);
    const QByteArray answer = CoordinationProtocol::answer(query, value);
    const QByteArray quit = CoordinationProtocol::quitRequest(query);
    check(request.size() <= CoordinationProtocol::RequestLimit && answer.size() <= CoordinationProtocol::AnswerLimit
          && quit.size() <= CoordinationProtocol::QuitLimit);
    if (plain(query) && plain(value)) {
        const CoordinationProtocol::Message sent = CoordinationProtocol::parse(request);
        if (request.endsWith("\"}") && request.size() < CoordinationProtocol::RequestLimit)
            check(sent.query == query && sent.time == value);
        const CoordinationProtocol::Message answered = CoordinationProtocol::parse(answer);
        if (answer.size() < CoordinationProtocol::AnswerLimit)
            check(answered.query == query && answered.check == value);
    }
    checkSender(bytes, size);
    return 0;
}
