#include "service/update/UpdateConfig.h"

#include "common/LenientJson.h"

namespace UpdateConfig {

bool mergeRequest(QJsonObject &stored, const QJsonObject &request)
{
    static const QString Device = QStringLiteral("device");
    static const QString Version = QStringLiteral("version");
    static const QString StartTime = QStringLiteral("startTime");

    bool changed = false;
    const QString storedDevice = LenientJson::readText(stored.value(Device));
    if (request.contains(Device) && storedDevice != QLatin1String("66")) {
        const QString device = LenientJson::readText(request.value(Device));
        changed = device != storedDevice;
        stored.insert(Device, device);
        if (request.contains(Version))
            stored.insert(Version, LenientJson::readText(request.value(Version)));
    }
    if (request.contains(StartTime))
        stored.insert(StartTime, LenientJson::readText(request.value(StartTime)));
    return changed;
}

} // namespace UpdateConfig
