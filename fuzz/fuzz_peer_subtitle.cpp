// Feeds one datagram to the reading of peer subtitle commands: what the
// service reads from it, which accounts a message goes to, what a deletion
// leaves of a list, and that a message survives the subtitle file.

#include "common/UntrustedJson.h"
#include "service/stb/SubtitleMsg.h"
#include "service/stb/SubtitleRules.h"

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

// The account list read the plain way: split, number, first occurrence.
QList<quint32> plainTargets(const QString &accountIds)
{
    QList<quint32> accounts;
    const QStringList parts = accountIds.split(QLatin1Char(','), Qt::KeepEmptyParts).mid(0, SubtitleMsg::maxTargetParts);
    for (const QString &part : parts) {
        if (!accounts.contains(part.toUInt()))
            accounts.append(part.toUInt());
    }
    return accounts;
}

bool sameSaved(const SubtitleMsg &a, const SubtitleMsg &b)
{
    return a.count == b.count && a.intervalTime == b.intervalTime && a.cashier_push_id == b.cashier_push_id
        && a.time == b.time && a.start_time == b.start_time && a.end_time == b.end_time && a.remark == b.remark
        && a.accountIds == b.accountIds;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray datagram(reinterpret_cast<const char *>(bytes), int(size));
    const QJsonObject object = UntrustedJson::parseObject(datagram);
    if (object.value(QLatin1String("query")).toString() != QLatin1String("subtitle"))
        return 0;
    const QJsonObject command = object.value(QLatin1String("data")).toObject();
    const SubtitleMsg msg = SubtitleMsg::fromCommand(command);
    const int deleteMode = SubtitleMsg::deleteMode(command);

    if (!msg.accountIds.isEmpty() && msg.accountIds.size() < 65536) {
        const QList<quint32> targets = msg.targetAccounts();
        check(targets.size() <= SubtitleMsg::maxTargetParts);
        check(QSet<quint32>(targets.begin(), targets.end()).size() == targets.size());
        check(targets == plainTargets(msg.accountIds));
    }

    const QJsonObject saved = QJsonDocument::fromJson(QJsonDocument(msg.toSaved()).toJson()).object();
    check(sameSaved(SubtitleMsg::fromSaved(saved), msg));

    // Only deletions are taken from other print services.
    if (deleteMode <= 0)
        return 0;
    QList<SubtitleMsg> list;
    QMap<qint32, quint32> pushTimes;
    for (qint32 id : {msg.cashier_push_id, 0, 1, msg.cashier_push_id, -1}) {
        SubtitleMsg held;
        held.count = 1;
        held.cashier_push_id = id;
        held.time = quint32(list.size());
        SubtitleRules::apply(list, pushTimes, held, 0);
    }
    const int before = list.size();
    int matching = 0;
    for (const SubtitleMsg &held : qAsConst(list))
        matching += held.cashier_push_id == msg.cashier_push_id ? 1 : 0;
    check(SubtitleRules::apply(list, pushTimes, msg, deleteMode) == SubtitleRules::Result::Deleted);
    check(list.size() == (deleteMode == 2 ? 0 : before - matching));
    return 0;
}
