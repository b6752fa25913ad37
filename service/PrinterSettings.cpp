#include "PrinterSettings.h"

#include <QJsonValue>

#include <cmath>
#include <limits>

namespace {

// Only an integral number in range counts; 2.5, "5", true and null give 0.
qint32 integralValue(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (std::trunc(number) != number || number < std::numeric_limits<qint32>::min()
        || number > std::numeric_limits<qint32>::max())
        return 0;
    return static_cast<qint32>(number);
}

void takeIntegral(const QJsonObject &element, const QString &key, qint32 &field)
{
    const auto member = element.constFind(key);
    if (member != element.constEnd())
        field = integralValue(*member);
}

} // namespace

namespace PrinterSettings {

QVector<PrintRecord> parse(const QJsonArray &data)
{
    QVector<PrintRecord> records;
    records.reserve(data.size());
    PrintRecord record;
    for (const QJsonValue &value : data) {
        const QJsonObject element = value.toObject();
        const QJsonValue name = element.value(QLatin1String("Name"));
        if (name.isString())
            record.name = name.toString();
        takeIntegral(element, QStringLiteral("PrinterLeft"), record.printerLeft);
        takeIntegral(element, QStringLiteral("Width"), record.width);
        takeIntegral(element, QStringLiteral("Height"), record.height);
        records.append(record);
    }
    return records;
}

bool settingsData(const QJsonObject &settings, QJsonArray *data)
{
    const QJsonValue value = settings.value(QLatin1String("data"));
    if (!value.isArray())
        return false;
    *data = value.toArray();
    return true;
}

} // namespace PrinterSettings
