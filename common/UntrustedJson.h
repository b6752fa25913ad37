#pragma once

#include <QByteArray>
#include <QJsonObject>

// JSON text from other hosts. Qt 5's parser loses memory when an object
// repeats a key whose earlier value is a non-empty array or object (about
// 80 bytes for a 20-byte text), so a stream of such datagrams would make the
// service grow without end. No sender of ours repeats a key: such text is
// refused before the parser sees it.
class UntrustedJson
{
public:
    // The top-level object; an empty object when the text is no JSON object
    // or repeats a key within one object.
    static QJsonObject parseObject(const QByteArray &text);
    // A key that occurs twice in one object, at any depth; also in text that
    // is not valid JSON as a whole.
    static bool hasRepeatedKey(const QByteArray &text);
};
