// Feeds status datagrams, one per input line, to the box registry the way
// the service's receive loop does, with the time moving on between them as
// the input says, and checks the registry's bounds and the box list.

#include "common/UntrustedJson.h"
#include "service/stb/StbInfo.h"
#include "service/stb/StbRegistry.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

// The answer text as the service builds it, and as the JSON writer makes it.
void checkListText(const QList<StbInfo> &listed)
{
    QByteArray text = "{\"code\":180,\"data\":[";
    QJsonArray data;
    for (int i = 0; i < listed.size(); ++i) {
        if (i > 0)
            text += ',';
        listed.at(i).appendListEntryText(text);
        data.append(listed.at(i).toListEntry());
    }
    text += "]}";
    const QByteArray written = QJsonDocument(QJsonObject{{"code", 180}, {"data", data}}).toJson(QJsonDocument::Compact);
    check(QString::fromUtf8(text) == QString::fromUtf8(written).remove(QLatin1Char(' ')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QList<QByteArray> lines = QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), int(size)).split('\n');
    StbRegistry registry;
    QSet<quint32> reportedOffline;
    quint32 now = 0xFFFF0000u; // near the wrap of the 32-bit counter
    for (const QByteArray &line : lines) {
        if (line.size() < 2)
            continue;
        // Two bytes of each line: how far the time moves on, and the sender.
        const quint32 step = quint8(line.at(0));
        now += step * step * 64;
        const QString sender = QHostAddress(0x0A4D0000u + quint8(line.at(1))).toString();
        const QJsonObject status = UntrustedJson::parseObject(line.mid(2));
        if (status.value(QLatin1String("query")).toString() != QLatin1String("stbInfo"))
            continue;

        const StbInfo info = StbInfo::fromStatus(status, sender, now);
        check(info.roomName.size() <= StbInfo::maxRoomNameChars && info.cprtQrCode.size() <= StbInfo::maxQrCodeChars);
        const bool known = registry.find(info.unAccount, nullptr);
        const int before = registry.size();
        const StbRegistry::Update update = registry.update(info);
        StbInfo found;
        if (update.outcome == StbRegistry::Outcome::Refused) {
            check(!known && before == StbRegistry::maxRecords && !registry.find(info.unAccount, nullptr));
        } else {
            check(registry.find(info.unAccount, &found) && found.strIp == sender && found.roomName == info.roomName);
            check((update.outcome == StbRegistry::Outcome::Added) == !known);
            check(registry.size() == before + (known ? 0 : 1));
            reportedOffline.remove(info.unAccount);
        }
        check(registry.size() <= StbRegistry::maxRecords);

        QList<StbInfo> wentOffline;
        const QList<StbInfo> listed = registry.online(now, &wentOffline);
        for (const StbInfo &record : listed)
            check(record.isOnline(now));
        for (const StbInfo &record : wentOffline) {
            check(!record.isOnline(now) && !reportedOffline.contains(record.unAccount));
            reportedOffline.insert(record.unAccount);
        }
        checkListText(listed);
    }
    registry.expire(now);
    for (const StbInfo &record : registry.records())
        check(quint32(now - record.unTime) <= StbRegistry::expiryMs);
    return 0;
}
