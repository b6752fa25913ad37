#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// Reading the members of a command the way the cashier application's
// requests need it: a missing member or one of another JSON type reads as 0
// or as the empty string, never as an error.
namespace CommandValues {

// The command object of a request body; an empty object when the body is
// not JSON or not an object.
QJsonObject parseCommand(const QByteArray &body);

int readInt(const QJsonValue &value);
QString readString(const QJsonValue &value);
// A JSON number or a string of decimal digits; 0 for anything else,
// negative or beyond 32 bits.
quint32 readUnsigned(const QJsonValue &value);
// A string member, or a whole number written in decimal; empty otherwise.
QString readText(const QJsonValue &value);

// True when the object has the key and its value is not null.
bool hasValue(const QJsonObject &object, const QString &key);

// The logo address of a receipt: after the first `<img  src="` up to the
// next double quote (or, unquoted, to the next such tag or the end). Empty
// when the receipt has no such tag.
QString logoUrl(const QString &content);

// Applies an "UpdateConfig" request to the stored Update.conf object: a new
// device (with its version) unless the stored device is the fixed "66", and
// always a given startTime. True when the device changed.
bool mergeUpdateRequest(QJsonObject &stored, const QJsonObject &request);

} // namespace CommandValues
