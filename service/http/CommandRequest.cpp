#include "service/http/CommandRequest.h"

#include "common/UntrustedJson.h"

#include <QJsonDocument>

namespace CommandRequest {

QJsonObject parseCommand(const QByteArray &body)
{
    return UntrustedJson::parseObject(body);
}

bool hasValue(const QJsonObject &object, const QString &key)
{
    const auto it = object.constFind(key);
    return it != object.constEnd() && !it.value().isNull();
}

} // namespace CommandRequest
