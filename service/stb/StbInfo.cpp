#include "service/stb/StbInfo.h"

#include "common/LenientJson.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {

// Room names and codes are plain text nearly always; anything the JSON
// writer would escape is left to the writer itself, so the bytes stay its own.
void appendString(QByteArray &out, QString text)
{
    text.remove(QLatin1Char(' '));
    bool plain = true;
    for (const QChar c : qAsConst(text)) {
        if (c.unicode() < 0x20 || c == QLatin1Char('"') || c == QLatin1Char('\\') || c.isSurrogate()) {
            plain = false;
            break;
        }
    }
    if (plain) {
        out += '"';
        out += text.toUtf8();
        out += '"';
        return;
    }
    const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    out += array.mid(1, array.size() - 2);
}

void appendMember(QByteArray &out, const char *key, qint32 number)
{
    out += key;
    out += QByteArray::number(number);
}

void appendMember(QByteArray &out, const char *key, const QString &text)
{
    out += key;
    appendString(out, text);
}

// Never between the two halves of a character outside the basic plane.
QString cut(QString text, int limit)
{
    if (text.size() > limit)
        text.truncate(text.at(limit - 1).isHighSurrogate() && text.at(limit).isLowSurrogate() ? limit - 1 : limit);
    return text;
}

} // namespace

StbInfo StbInfo::fromStatus(const QJsonObject &status, const QString &sourceAddress, quint32 tick)
{
    StbInfo info;
    info.unAccount = LenientJson::readUnsigned(status.value(QLatin1String("account")));
    info.roomName = cut(status.value(QLatin1String("roomName")).toString(), maxRoomNameChars);
    info.strIp = sourceAddress;
    info.cprtQrCode = cut(status.value(QLatin1String("cprtQrCode")).toString(), maxQrCodeChars);
    info.isServer = LenientJson::wholeNumber(status.value(QLatin1String("isServer")));
    info.isCloseRoom = LenientJson::wholeNumber(status.value(QLatin1String("isCloseRoom")));
    info.cprtSigned = LenientJson::wholeNumber(status.value(QLatin1String("cprtSigned")));
    info.cprtPayStatus = LenientJson::wholeNumber(status.value(QLatin1String("cprtPayStatus")));
    info.cprtTime = LenientJson::readUnsigned(status.value(QLatin1String("cprtTime")));
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

void StbInfo::appendListEntryText(QByteArray &out) const
{
    // Keys in ascending order, as the compact writer puts them.
    appendMember(out, "{\"cprtPayStatus\":", cprtPayStatus);
    appendMember(out, ",\"cprtQrCode\":", cprtQrCode);
    appendMember(out, ",\"cprtSigned\":", cprtSigned);
    appendMember(out, ",\"cprtTime\":", QString::number(cprtTime));
    appendMember(out, ",\"isCloseRoom\":", isCloseRoom);
    appendMember(out, ",\"isServer\":", isServer);
    appendMember(out, ",\"roomName\":", roomName);
    appendMember(out, ",\"strIp\":", strIp);
    appendMember(out, ",\"unAccount\":", QString::number(unAccount));
    appendMember(out, ",\"unTime\":", QString::number(unTime));
    out += '}';
}
