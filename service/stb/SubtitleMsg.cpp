#include "service/stb/SubtitleMsg.h"

#include "common/LenientJson.h"

#include <QSet>

SubtitleMsg SubtitleMsg::fromCommand(const QJsonObject &command)
{
    SubtitleMsg msg;
    msg.remark = command.value(QLatin1String("remark")).toString();
    msg.count = LenientJson::wholeNumber(command.value(QLatin1String("count")));
    msg.intervalTime = LenientJson::wholeNumber(command.value(QLatin1String("intervalTime")));
    msg.accountIds = command.value(QLatin1String("accountIds")).toString();
    msg.cashier_push_id = LenientJson::wholeNumber(command.value(QLatin1String("cashier_push_id")));
    msg.start_time = LenientJson::readUnsigned(command.value(QLatin1String("start_time")));
    msg.end_time = LenientJson::readUnsigned(command.value(QLatin1String("end_time")));
    msg.time = LenientJson::readUnsigned(command.value(QLatin1String("time")));
    return msg;
}

int SubtitleMsg::deleteMode(const QJsonObject &command)
{
    return LenientJson::wholeNumber(command.value(QLatin1String("delete")));
}

QList<quint32> SubtitleMsg::targetAccounts() const
{
    // A long list of the same account must not make a message go out to
    // one box thousands of times per pass.
    QList<quint32> accounts;
    QSet<quint32> seen;
    int from = 0;
    for (int part = 0; part < maxTargetParts; ++part) {
        const int comma = accountIds.indexOf(QLatin1Char(','), from);
        const quint32 account = accountIds.midRef(from, comma < 0 ? -1 : comma - from).toUInt();
        if (!seen.contains(account)) {
            seen.insert(account);
            accounts.append(account);
        }
        if (comma < 0)
            break;
        from = comma + 1;
    }
    return accounts;
}

SubtitleMsg SubtitleMsg::fromSaved(const QJsonValue &element)
{
    const QJsonObject saved = element.toObject();
    SubtitleMsg msg;
    msg.accountIds = saved.value(QLatin1String("accountIds")).toString();
    msg.cashier_push_id = LenientJson::readSigned(saved.value(QLatin1String("cashier_push_id")));
    msg.count = LenientJson::readSigned(saved.value(QLatin1String("count")));
    msg.end_time = LenientJson::readUnsigned(saved.value(QLatin1String("end_time")));
    msg.intervalTime = LenientJson::readSigned(saved.value(QLatin1String("intervalTime")));
    msg.remark = saved.value(QLatin1String("remark")).toString();
    msg.start_time = LenientJson::readUnsigned(saved.value(QLatin1String("start_time")));
    msg.time = LenientJson::readUnsigned(saved.value(QLatin1String("time")));
    return msg;
}

QJsonObject SubtitleMsg::toSaved() const
{
    QJsonObject saved;
    saved.insert(QStringLiteral("accountIds"), accountIds);
    saved.insert(QStringLiteral("cashier_push_id"), QString::number(cashier_push_id));
    saved.insert(QStringLiteral("count"), QString::number(count));
    saved.insert(QStringLiteral("end_time"), QString::number(end_time));
    saved.insert(QStringLiteral("intervalTime"), QString::number(intervalTime));
    saved.insert(QStringLiteral("remark"), remark);
    saved.insert(QStringLiteral("start_time"), QString::number(start_time));
    saved.insert(QStringLiteral("time"), QString::number(time));
    return saved;
}

bool SubtitleMsg::isActive(quint32 now) const
{
    return count > 0 || (count == untilEndTime && now <= end_time);
}

bool SubtitleMsg::isDue(quint32 now) const
{
    // A negative interval compares as a huge unsigned one: never due.
    return isActive(now) && quint32(now - lastSendTime) >= quint32(intervalTime);
}
