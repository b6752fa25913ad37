#pragma once

#include "service/stb/SubtitleMsg.h"

#include <QList>
#include <QMap>

// How one subtitle command changes the scheduled messages and the filter of
// repeated pushes. Both belong to the information service, which holds its
// subtitle mutex around each call. The bounds keep a client that floods the
// service with pushes from growing the list, its file and the datagrams of
// every pass without end; a venue's cashiers stay far below them.
class SubtitleRules
{
public:
    static constexpr int maxMessages = 1000;
    // Remarks and account lists of all messages together, in characters.
    static constexpr qint64 maxTextChars = 4 * 1024 * 1024;
    // Pushes remembered; past it those whose messages are gone are forgotten.
    static constexpr int maxPushTimes = 65536;

    enum class Result
    {
        Ignored,       // nothing changed, nothing to save
        AddedInMemory, // a one-off message: never written to the file
        Added,
        Deleted,       // also when nothing matched: the file is written anyway
        ListFull,      // refused: the list is at one of its bounds
    };

    static Result apply(QList<SubtitleMsg> &list, QMap<qint32, quint32> &pushTimes, SubtitleMsg msg, int deleteMode);

    // The loaded messages that fit the bounds, in order; *dropped counts the rest.
    static QList<SubtitleMsg> bounded(const QList<SubtitleMsg> &loaded, int *dropped);

private:
    static bool fits(const QList<SubtitleMsg> &list, const SubtitleMsg &msg);
    static void forgetUnlisted(const QList<SubtitleMsg> &list, QMap<qint32, quint32> &pushTimes);
};
