#pragma once

#include <QJsonValue>
#include <QString>

// Reading values of JSON that other programs write: a missing member or one
// of an unexpected type reads as 0 or as the empty string instead of
// failing the whole message. The one set of such readers for every program.
class LenientJson
{
public:
    // A JSON number with a whole value in the 32-bit range; anything else,
    // strings and fractions included, is 0.
    static int readInt(const QJsonValue &value);
    // The same rule under the name the file readers use.
    static qint32 wholeNumber(const QJsonValue &value);
    // A JSON number in 0..4294967295 (fraction dropped) or a string of
    // decimal digits; anything else is 0.
    static quint32 readUnsigned(const QJsonValue &value);
    // A whole JSON number, or a string of decimal digits with an optional
    // sign; anything else is 0.
    static qint32 readSigned(const QJsonValue &value);
    // A string, or the empty string.
    static QString readString(const QJsonValue &value);
    // A string, or a whole number written in decimal; empty otherwise.
    static QString readText(const QJsonValue &value);
};
