// Feeds SendMessage commands, one per input line, through the dispatcher's
// reading of the request and the rules of the subtitle list, and checks the
// list's bounds and that the list survives its file. The first byte of a
// line repeats its command (up to 16 times) with consecutive push ids, so
// that the bounds are within reach.

#include "service/http/CommandRequest.h"
#include "service/stb/SubtitleMsg.h"
#include "service/stb/SubtitleRules.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

namespace {

void check(bool condition)
{
    if (!condition)
        abort();
}

qint64 textOf(const QList<SubtitleMsg> &list)
{
    qint64 text = 0;
    for (const SubtitleMsg &msg : list)
        text += msg.textSize();
    return text;
}

void checkFileRoundTrip(const QList<SubtitleMsg> &list)
{
    QJsonArray saved;
    for (const SubtitleMsg &msg : list)
        saved.append(msg.toSaved());
    const QByteArray file = QJsonDocument(QJsonObject{{"list", saved}}).toJson(QJsonDocument::Indented);
    const QJsonArray read = QJsonDocument::fromJson(file).object().value(QLatin1String("list")).toArray();
    QList<SubtitleMsg> loaded;
    for (const QJsonValue &element : read)
        loaded.append(SubtitleMsg::fromSaved(element));
    int dropped = -1;
    loaded = SubtitleRules::bounded(loaded, &dropped);
    check(dropped == 0 && loaded.size() == list.size());
    for (int i = 0; i < list.size(); ++i) {
        const SubtitleMsg &a = list.at(i);
        const SubtitleMsg &b = loaded.at(i);
        check(a.count == b.count && a.intervalTime == b.intervalTime && a.cashier_push_id == b.cashier_push_id
              && a.time == b.time && a.start_time == b.start_time && a.end_time == b.end_time && a.remark == b.remark
              && a.accountIds == b.accountIds && b.lastSendTime == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QList<QByteArray> lines = QByteArray::fromRawData(reinterpret_cast<const char *>(bytes), int(size)).split('\n');
    QList<SubtitleMsg> list;
    QMap<qint32, quint32> pushTimes;
    quint32 now = 1800000000u;
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        const int repeats = 1 + (quint8(line.at(0)) & 15);
        const QJsonObject request = CommandRequest::parseCommand(line.mid(1));
        const QJsonObject command = request.value(QLatin1String("data")).toObject();
        SubtitleMsg msg = SubtitleMsg::fromCommand(command);
        const int deleteMode = SubtitleMsg::deleteMode(command);
        for (int i = 0; i < repeats; ++i) {
            const int sizeBefore = list.size();
            const bool repeated = pushTimes.contains(msg.cashier_push_id) && pushTimes.value(msg.cashier_push_id) == msg.time;
            const SubtitleRules::Result result = SubtitleRules::apply(list, pushTimes, msg, deleteMode);
            switch (result) {
            case SubtitleRules::Result::Added:
                check(msg.cashier_push_id != 0 && !repeated && list.size() == sizeBefore + 1);
                check(pushTimes.value(msg.cashier_push_id) == msg.time);
                break;
            case SubtitleRules::Result::AddedInMemory:
                check(msg.cashier_push_id == 0 && msg.count > 0 && list.last().end_time == 0);
                break;
            case SubtitleRules::Result::Ignored:
                check(list.size() == sizeBefore && (msg.cashier_push_id == 0 ? msg.count <= 0 : repeated));
                break;
            case SubtitleRules::Result::ListFull:
                check(list.size() == sizeBefore
                      && (sizeBefore == SubtitleRules::maxMessages || textOf(list) + msg.textSize() > SubtitleRules::maxTextChars));
                break;
            case SubtitleRules::Result::Deleted:
                check(deleteMode > 0 && list.size() <= sizeBefore);
                break;
            }
            check(list.size() <= SubtitleRules::maxMessages && textOf(list) <= SubtitleRules::maxTextChars);
            check(pushTimes.size() <= SubtitleRules::maxPushTimes);
            if (msg.cashier_push_id != 0)
                msg.cashier_push_id = qint32(quint32(msg.cashier_push_id) + 1);
        }

        // A scheduling pass as the service's timer makes it.
        now += 3;
        for (auto it = list.begin(); it != list.end();) {
            if (!it->isActive(now)) {
                it = list.erase(it);
                continue;
            }
            if (it->isDue(now)) {
                if (!it->accountIds.isEmpty())
                    check(it->targetAccounts().size() <= SubtitleMsg::maxTargetParts);
                it->lastSendTime = now;
                if (it->count != SubtitleMsg::untilEndTime)
                    --it->count;
            }
            ++it;
        }
    }
    checkFileRoundTrip(list);
    return 0;
}
