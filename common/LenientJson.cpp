#include "common/LenientJson.h"

#include <cmath>
#include <limits>

int LenientJson::readInt(const QJsonValue &value)
{
    return wholeNumber(value);
}

qint32 LenientJson::wholeNumber(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (std::trunc(number) != number || number < std::numeric_limits<qint32>::min()
        || number > std::numeric_limits<qint32>::max())
        return 0;
    return static_cast<qint32>(number);
}

quint32 LenientJson::readUnsigned(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        return number >= 0 && number < 4294967296.0 ? quint32(number) : 0;
    }
    if (value.isString()) {
        bool ok = false;
        const uint number = value.toString().toUInt(&ok, 10);
        return ok ? number : 0;
    }
    return 0;
}

qint32 LenientJson::readSigned(const QJsonValue &value)
{
    if (value.isString()) {
        bool ok = false;
        const int number = value.toString().toInt(&ok, 10);
        return ok ? number : 0;
    }
    return wholeNumber(value);
}

QString LenientJson::readString(const QJsonValue &value)
{
    return value.toString();
}

QString LenientJson::readText(const QJsonValue &value)
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
