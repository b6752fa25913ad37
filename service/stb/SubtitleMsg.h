#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

// One scheduled subtitle: a text the set-top boxes show, sent a number of
// times at an interval, or repeatedly until an end time (count -99).
struct SubtitleMsg
{
    qint32 count = 0;
    qint32 intervalTime = 0;
    qint32 cashier_push_id = 0;
    quint32 time = 0;
    quint32 lastSendTime = 0;
    quint32 start_time = 0;
    quint32 end_time = 0;
    QString remark;
    QString accountIds;

    static constexpr qint32 untilEndTime = -99;
    // Parts of accountIds that are read: one per room, with room to spare.
    static constexpr int maxTargetParts = 4096;

    // A subtitle command as the cashier (or another print service) sends it.
    static SubtitleMsg fromCommand(const QJsonObject &command);
    // The command's "delete": above 0 deletes (2 all, else by id), otherwise adds.
    static int deleteMode(const QJsonObject &command);
    // One element of the saved list; numbers may be strings or numbers.
    static SubtitleMsg fromSaved(const QJsonValue &element);
    // The element of the saved list: every number as a decimal string.
    QJsonObject toSaved() const;

    // The accounts of accountIds in their order, each once, read from its
    // first maxTargetParts parts; an empty part stands for account 0.
    QList<quint32> targetAccounts() const;
    // Characters of text the message holds.
    qint64 textSize() const { return qint64(remark.size()) + accountIds.size(); }

    // Still to be sent at Unix time now; otherwise it is finished.
    bool isActive(quint32 now) const;
    // Active and its interval since the last send has passed.
    bool isDue(quint32 now) const;
};
