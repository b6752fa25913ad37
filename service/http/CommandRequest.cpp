#include "service/http/CommandRequest.h"

#include <QJsonDocument>

namespace CommandRequest {

QJsonObject parseCommand(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

bool hasValue(const QJsonObject &object, const QString &key)
{
    const auto it = object.constFind(key);
    return it != object.constEnd() && !it.value().isNull();
}

} // namespace CommandRequest
