#include "service/stb/SubtitleRules.h"

#include <QSet>

#include <algorithm>

SubtitleRules::Result SubtitleRules::apply(QList<SubtitleMsg> &list, QMap<qint32, quint32> &pushTimes, SubtitleMsg msg,
                                           int deleteMode)
{
    if (deleteMode > 0) {
        if (deleteMode == 2) {
            list.clear();
        } else {
            const qint32 id = msg.cashier_push_id;
            list.erase(std::remove_if(list.begin(), list.end(), [id](const SubtitleMsg &m) { return m.cashier_push_id == id; }),
                       list.end());
        }
        return Result::Deleted;
    }

    if (msg.cashier_push_id == 0) {
        // A one-off message lives in memory only.
        if (msg.count <= 0)
            return Result::Ignored;
        msg.start_time = 0;
        msg.end_time = 0;
        if (!fits(list, msg))
            return Result::ListFull;
        list.append(msg);
        return Result::AddedInMemory;
    }

    // The same push can reach us more than once; a message with the same id
    // and an older time stays beside the new one.
    const auto known = pushTimes.constFind(msg.cashier_push_id);
    if (known != pushTimes.constEnd() && known.value() == msg.time)
        return Result::Ignored;
    if (!fits(list, msg))
        return Result::ListFull;
    if (pushTimes.size() >= maxPushTimes)
        forgetUnlisted(list, pushTimes);
    pushTimes.insert(msg.cashier_push_id, msg.time);
    list.append(msg);
    return Result::Added;
}

bool SubtitleRules::fits(const QList<SubtitleMsg> &list, const SubtitleMsg &msg)
{
    if (list.size() >= maxMessages)
        return false;
    qint64 text = msg.textSize();
    for (const SubtitleMsg &held : list)
        text += held.textSize();
    return text <= maxTextChars;
}

void SubtitleRules::forgetUnlisted(const QList<SubtitleMsg> &list, QMap<qint32, quint32> &pushTimes)
{
    QSet<qint32> listed;
    for (const SubtitleMsg &msg : list)
        listed.insert(msg.cashier_push_id);
    for (auto it = pushTimes.begin(); it != pushTimes.end();) {
        if (listed.contains(it.key()))
            ++it;
        else
            it = pushTimes.erase(it);
    }
}

QList<SubtitleMsg> SubtitleRules::bounded(const QList<SubtitleMsg> &loaded, int *dropped)
{
    QList<SubtitleMsg> kept;
    for (const SubtitleMsg &msg : loaded) {
        if (fits(kept, msg))
            kept.append(msg);
    }
    if (dropped)
        *dropped = loaded.size() - kept.size();
    return kept;
}
