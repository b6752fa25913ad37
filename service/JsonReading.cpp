#include "JsonReading.h"

#include <QString>

namespace JsonReading {

quint32 unsignedNumber(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        return number >= 0 && number < 4294967296.0 ? quint32(number) : 0;
    }
    if (value.isString()) {
        bool ok = false;
        const uint number = value.toString().toUInt(&ok);
        return ok ? number : 0;
    }
    return 0;
}

qint32 wholeNumber(const QJsonValue &value)
{
    return value.toInt(0);
}

qint32 signedNumber(const QJsonValue &value)
{
    if (value.isString()) {
        bool ok = false;
        const int number = value.toString().toInt(&ok);
        return ok ? number : 0;
    }
    return wholeNumber(value);
}

} // namespace JsonReading
