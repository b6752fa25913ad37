#include "CommandValues.h"

#include <QJsonDocument>

#include <cmath>
#include <limits>

namespace CommandValues {

QJsonObject parseCommand(const QByteArray &body)
{
    return QJsonDocument::fromJson(body).object();
}

int readInt(const QJsonValue &value)
{
    return value.toInt(0);
}

QString readString(const QJsonValue &value)
{
    return value.toString();
}

quint32 readUnsigned(const QJsonValue &value)
{
    if (value.isString()) {
        bool ok = false;
        const quint32 number = value.toString().trimmed().toUInt(&ok, 10);
        return ok ? number : 0;
    }
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!(number >= 0) || number > std::numeric_limits<quint32>::max() || number != std::floor(number))
        return 0;
    return static_cast<quint32>(number);
}

QString readText(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (std::isfinite(number) && number == std::floor(number) && std::fabs(number) < 1e15)
            return QString::number(static_cast<qint64>(number));
    }
    return QString();
}

bool hasValue(const QJsonObject &object, const QString &key)
{
    const auto it = object.constFind(key);
    return it != object.constEnd() && !it.value().isNull();
}

QString logoUrl(const QString &content)
{
    static const QString Marker = QStringLiteral("<img  src=");
    static const QString QuotedMarker = QStringLiteral("<img  src=\"");
    if (!content.contains(Marker))
        return QString();
    const int tag = content.indexOf(QuotedMarker);
    if (tag < 0)
        return QString();
    const int start = tag + QuotedMarker.size();
    int end = content.indexOf(QLatin1Char('"'), start);
    if (end < 0)
        end = content.indexOf(QuotedMarker, start);
    if (end < 0)
        end = content.size();
    return content.mid(start, end - start);
}

bool mergeUpdateRequest(QJsonObject &stored, const QJsonObject &request)
{
    static const QString Device = QStringLiteral("device");
    static const QString Version = QStringLiteral("version");
    static const QString StartTime = QStringLiteral("startTime");

    bool changed = false;
    const QString storedDevice = readText(stored.value(Device));
    if (request.contains(Device) && storedDevice != QLatin1String("66")) {
        const QString device = readText(request.value(Device));
        changed = device != storedDevice;
        stored.insert(Device, device);
        if (request.contains(Version))
            stored.insert(Version, readText(request.value(Version)));
    }
    if (request.contains(StartTime))
        stored.insert(StartTime, readText(request.value(StartTime)));
    return changed;
}

} // namespace CommandValues
