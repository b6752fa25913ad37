#include "common/UntrustedJson.h"

#include <QJsonDocument>
#include <QSet>
#include <QString>
#include <QVarLengthArray>

#include <cstring>
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

// Moves at past the escape whose backslash precedes it, consuming exactly
// what readString consumes for it.
void skipEscape(const char *text, int size, int &at)
{
    if (text[at++] != 'u')
        return;
    for (int digit = 0; digit < 4 && at < size; ++digit) {
        if (hexValue(text[at++]) < 0)
            return;
    }
}

int find(const char *text, int from, int to, char wanted)
{
    const void *found = std::memchr(text + from, wanted, size_t(to - from));
    return found ? int(static_cast<const char *>(found) - text) : to;
}

// Moves at, inside a string, to its closing quote or the end of the text.
// Each byte is searched once, so hostile escapes stay linear.
void skipLongString(const char *text, int size, int &at)
{
    int quote = -1;
    while (at < size) {
        if (quote < at)
            quote = find(text, at, size, '"');
        const int backslash = find(text, at, quote, '\\');
        if (backslash == quote) {
            at = quote;
            return;
        }
        at = backslash + 1;
        if (at < size)
            skipEscape(text, size, at);
    }
}

// Moves at from the opening quote past the string, to where readString
// would leave it. Keys and most values end within a few bytes, where a
// plain loop beats a library call.
void skipString(const char *text, int size, int &at)
{
    ++at;
    const int shortEnd = size - at > 32 ? at + 32 : size;
    while (at < shortEnd && text[at] != '"') {
        if (text[at++] == '\\' && at < size)
            skipEscape(text, size, at);
    }
    if (at >= shortEnd)
        skipLongString(text, size, at);
    ++at;
}

bool isFollowedByColon(const char *text, int size, int at)
{
    while (at < size && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
        ++at;
    return at < size && text[at] == ':';
}

// Printable ASCII without escapes decodes to its own bytes, so such keys
// compare equal exactly when their bytes do. Anything else (an escape, a
// control byte, UTF-8 that may be invalid and decode to U+FFFD) is decoded.
bool decodesToItself(const char *bytes, int length)
{
    for (int i = 0; i < length; ++i) {
        const uchar byte = uchar(bytes[i]);
        if (byte < 0x20 || byte > 0x7e || byte == '\\')
            return false;
    }
    return true;
}

// A key of an open object: where its string starts and how long its
// content is, and its decoded form when it does not decode to itself.
struct Key
{
    int quote;
    int length;
    int decoded; // index of the decoded form, or -1
};

// An open object or array: where its keys start on the shared stacks.
struct Level
{
    int firstKey;
    int firstDecoded;
    bool isObject;
    bool hashed;
};

} // namespace

Q_DECLARE_TYPEINFO(Key, Q_PRIMITIVE_TYPE);
Q_DECLARE_TYPEINFO(Level, Q_PRIMITIVE_TYPE);

namespace {

// The keys of every open object, innermost last. A key is a span of the
// text; only keys that do not decode to themselves are decoded, so ordinary
// text is checked without touching the heap.
class OpenObjects
{
public:
    explicit OpenObjects(const QByteArray &text) : text(text) {}

    void open(bool isObject)
    {
        levels.append({keys.size(), int(decoded.size()), isObject, false});
    }

    // A closing bracket without an open one is ignored, as the parser
    // would fail on it anyway.
    void close()
    {
        if (levels.isEmpty())
            return;
        const Level &level = levels.last();
        dropKeysFrom(level);
        if (level.hashed)
            hashed.pop_back();
        levels.removeLast();
    }

    bool insideObject() const { return !levels.isEmpty() && levels.last().isObject; }

    // False when the innermost object already holds the key whose string
    // starts at the quote.
    bool add(int quote, int length)
    {
        Key key{quote, length, -1};
        Level &level = levels.last();
        if (level.hashed)
            return addHashed(decode(key));
        if (!decodesToItself(bytes(key), length)) {
            key.decoded = int(decoded.size());
            decoded.push_back(readKey(quote));
        }
        for (int i = level.firstKey; i < keys.size(); ++i) {
            if (sameKey(keys.at(i), key))
                return false;
        }
        if (keys.size() - level.firstKey < comparedOneByOne) {
            keys.append(key);
            return true;
        }
        const QString decodedKey = decode(key);
        startHashing(level);
        return addHashed(decodedKey);
    }

private:
    // Past this many keys in one object a hash set keeps hostile text linear.
    static constexpr int comparedOneByOne = 16;

    const char *bytes(const Key &key) const { return text.constData() + key.quote + 1; }

    QString readKey(int quote) const { return readString(text, quote); }

    QString decode(const Key &key) const
    {
        if (key.decoded >= 0)
            return decoded.at(size_t(key.decoded));
        if (decodesToItself(bytes(key), key.length))
            return QString::fromLatin1(bytes(key), key.length);
        return readKey(key.quote);
    }

    bool sameKey(const Key &a, const Key &b) const
    {
        if (a.decoded < 0 && b.decoded < 0)
            return a.length == b.length && std::memcmp(bytes(a), bytes(b), size_t(a.length)) == 0;
        if (a.decoded < 0)
            return decoded.at(size_t(b.decoded)) == QLatin1String(bytes(a), a.length);
        if (b.decoded < 0)
            return decoded.at(size_t(a.decoded)) == QLatin1String(bytes(b), b.length);
        return decoded.at(size_t(a.decoded)) == decoded.at(size_t(b.decoded));
    }

    void startHashing(Level &level)
    {
        QSet<QString> set;
        set.reserve(2 * comparedOneByOne);
        for (int i = level.firstKey; i < keys.size(); ++i)
            set.insert(decode(keys.at(i)));
        hashed.push_back(std::move(set));
        dropKeysFrom(level);
        level.hashed = true;
    }

    // Dropping one by one is a decrement each; resize would reallocate.
    void dropKeysFrom(const Level &level)
    {
        while (keys.size() > level.firstKey)
            keys.removeLast();
        if (decoded.size() != size_t(level.firstDecoded))
            decoded.resize(size_t(level.firstDecoded));
    }

    bool addHashed(const QString &key)
    {
        QSet<QString> &set = hashed.back();
        const int before = set.size();
        set.insert(key);
        return set.size() != before;
    }

    const QByteArray &text;
    QVarLengthArray<Level, 16> levels;
    QVarLengthArray<Key, 128> keys;
    std::vector<QString> decoded;    // decoded keys of the open objects, innermost last
    std::vector<QSet<QString>> hashed; // one per open object past comparedOneByOne keys
};

} // namespace

bool UntrustedJson::hasRepeatedKey(const QByteArray &text)
{
    OpenObjects objects(text);
    const char *data = text.constData();
    const int size = text.size();
    int at = 0;
    while (at < size) {
        const char c = data[at];
        if (c == '{' || c == '[') {
            objects.open(c == '{');
            ++at;
        } else if (c == '}' || c == ']') {
            objects.close();
            ++at;
        } else if (c == '"') {
            const int quote = at;
            skipString(data, size, at);
            // A string followed by a colon inside an object is a key.
            if (isFollowedByColon(data, size, at) && objects.insideObject() && !objects.add(quote, at - quote - 2))
                return true;
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
