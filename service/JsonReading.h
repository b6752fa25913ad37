#pragma once

#include <QJsonValue>

// Lenient readers for numbers in JSON that other programs write: a value of
// an unexpected type reads as 0 instead of failing the whole message.
namespace JsonReading {

// A JSON number in 0..4294967295 (fraction dropped) or a string of decimal
// digits; anything else is 0.
quint32 unsignedNumber(const QJsonValue &value);
// A JSON number with a whole value in the 32-bit range; anything else,
// strings included, is 0.
qint32 wholeNumber(const QJsonValue &value);
// A whole JSON number or a string of decimal digits with an optional sign;
// anything else is 0.
qint32 signedNumber(const QJsonValue &value);

} // namespace JsonReading
