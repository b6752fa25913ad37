#include "common/UntrustedJson.h"

#include <QJsonDocument>
#include <QSet>
#include <QString>

#include <vector>

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads the string that starts at text[at] (the opening quote) as the
// parser would decode it; at ends after the closing quote.
QString readString(const QByteArray &text, int &at)
{
    QString decoded;
    QByteArray raw;
    const int size = text.size();
    ++at;
    while (at < size && text.at(at) != '"') {
        const char c = text.at(at++);
        if (c != '\\' || at >= size) {
            raw += c;
            continue;
        }
        decoded += QString::fromUtf8(raw);
        raw.clear();
        const char escape = text.at(at++);
        switch (escape) {
        case 'b': decoded += QLatin1Char('\b'); break;
        case 'f': decoded += QLatin1Char('\f'); break;
        case 'n': decoded += QLatin1Char('\n'); break;
        case 'r': decoded += QLatin1Char('\r'); break;
        case 't': decoded += QLatin1Char('\t'); break;
        case 'u': {
            int unit = 0;
            for (int digit = 0; digit < 4 && at < size && unit >= 0; ++digit) {
                const int value = hexValue(text.at(at++));
                unit = value < 0 ? -1 : unit * 16 + value;
            }
            decoded += QChar(ushort(qMax(unit, 0)));
            break;
        }
        default: decoded += QLatin1Char(escape); break;
        }
    }
    ++at;
    return decoded + QString::fromUtf8(raw);
}

} // namespace

bool UntrustedJson::hasRepeatedKey(const QByteArray &text)
{
    // One entry per open object (its keys so far) or array (no keys).
    std::vector<QSet<QString>> keys;
    std::vector<bool> isObject;
    const int size = text.size();
    int at = 0;
    while (at < size) {
        const char c = text.at(at);
        if (c == '{' || c == '[') {
            keys.emplace_back();
            isObject.push_back(c == '{');
            ++at;
        } else if (c == '}' || c == ']') {
            if (!keys.empty()) {
                keys.pop_back();
                isObject.pop_back();
            }
            ++at;
        } else if (c == '"') {
            const QString string = readString(text, at);
            int next = at;
            while (next < size && (text.at(next) == ' ' || text.at(next) == '\t' || text.at(next) == '\n' || text.at(next) == '\r'))
                ++next;
            // A string followed by a colon inside an object is a key.
            if (next < size && text.at(next) == ':' && !keys.empty() && isObject.back()) {
                if (keys.back().contains(string))
                    return true;
                keys.back().insert(string);
            }
        } else {
            ++at;
        }
    }
    return false;
}

QJsonObject UntrustedJson::parseObject(const QByteArray &text)
{
    if (hasRepeatedKey(text))
        return QJsonObject();
    return QJsonDocument::fromJson(text).object();
}
