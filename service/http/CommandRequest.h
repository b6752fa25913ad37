#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The command object of one request body, as the dispatcher reads it.
namespace CommandRequest {

// An empty object when the body is not JSON or not an object.
QJsonObject parseCommand(const QByteArray &body);

// True when the object has the key and its value is not null.
bool hasValue(const QJsonObject &object, const QString &key);

} // namespace CommandRequest
