#include "service/printing/PrinterSettings.h"

#include "common/LenientJson.h"

#include <QJsonValue>

namespace {

// Only an integral number in range counts; 2.5, "5", true and null give 0.
void takeIntegral(const QJsonObject &element, const QString &key, qint32 &field)
{
    const auto member = element.constFind(key);
    if (member != element.constEnd())
        field = LenientJson::wholeNumber(*member);
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
