#include "StbInfo.h"

#include "JsonReading.h"

StbInfo StbInfo::fromStatus(const QJsonObject &status, const QString &sourceAddress, quint32 tick)
{
    StbInfo info;
    info.unAccount = JsonReading::unsignedNumber(status.value(QLatin1String("account")));
    info.roomName = status.value(QLatin1String("roomName")).toString();
    info.strIp = sourceAddress;
    info.cprtQrCode = status.value(QLatin1String("cprtQrCode")).toString();
    info.isServer = JsonReading::wholeNumber(status.value(QLatin1String("isServer")));
    info.isCloseRoom = JsonReading::wholeNumber(status.value(QLatin1String("isCloseRoom")));
    info.cprtSigned = JsonReading::wholeNumber(status.value(QLatin1String("cprtSigned")));
    info.cprtPayStatus = JsonReading::wholeNumber(status.value(QLatin1String("cprtPayStatus")));
    info.cprtTime = JsonReading::unsignedNumber(status.value(QLatin1String("cprtTime")));
    info.unTime = tick;
    return info;
}

bool StbInfo::isOnline(quint32 now) const
{
    return now > unTime && quint32(now - unTime) <= onlineWindowMs;
}

QJsonObject StbInfo::toListEntry() const
{
    QJsonObject entry;
    entry.insert(QStringLiteral("cprtPayStatus"), cprtPayStatus);
    entry.insert(QStringLiteral("cprtQrCode"), cprtQrCode);
    entry.insert(QStringLiteral("cprtSigned"), cprtSigned);
    entry.insert(QStringLiteral("cprtTime"), QString::number(cprtTime));
    entry.insert(QStringLiteral("isCloseRoom"), isCloseRoom);
    entry.insert(QStringLiteral("isServer"), isServer);
    entry.insert(QStringLiteral("roomName"), roomName);
    entry.insert(QStringLiteral("strIp"), strIp);
    entry.insert(QStringLiteral("unAccount"), QString::number(unAccount));
    entry.insert(QStringLiteral("unTime"), QString::number(unTime));
    return entry;
}
