#pragma once

#include "service/stb/StbInfo.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include <map>

// The boxes the service knows, one record per cloud account. Anyone on the
// venue's LAN can report a status, so the registry is bounded: records not
// heard from for an hour go, and a full registry takes no new accounts.
// Safe to use from several threads; nothing is logged here, the caller logs
// what each call reports.
class StbRegistry
{
public:
    // Several times the rooms of a large venue; the InfoData answer of this
    // many boxes still fits the command server's answer bound.
    static constexpr int maxRecords = 4096;
    // Boxes report every few seconds and count as online for 15 s; an hour
    // of silence means the box is gone (or never was a box).
    static constexpr quint32 expiryMs = 60 * 60 * 1000;

    enum class Outcome { Added, Refreshed, Moved, Refused };
    struct Update
    {
        Outcome outcome = Outcome::Refused;
        QString previousIp; // for Moved: the address the record had before
    };

    // Inserts or refreshes the record of info.unAccount. A box reporting
    // itself as a server on its first status goes before all others; a
    // record keeps its place afterwards.
    Update update(const StbInfo &info);
    bool find(quint32 unAccount, StbInfo *found) const;

    // The online records at counter value now, in registry order. Records
    // that have gone offline since they were last heard are added to
    // wentOffline once, not at every call; expired records are dropped.
    QList<StbInfo> online(quint32 now, QList<StbInfo> *wentOffline);
    // Drops the records not heard from for expiryMs; returns how many.
    int expire(quint32 now);

    QList<StbInfo> records() const;
    int size() const;

private:
    struct Entry
    {
        StbInfo info;
        qint64 place = 0;
        bool offlineReported = false;
    };

    static bool isExpired(const StbInfo &info, quint32 now);
    void remove(QHash<quint32, Entry>::iterator entry);

    mutable QMutex m_mutex;
    QHash<quint32, Entry> m_entries;
    std::map<qint64, quint32> m_order; // place -> account
    qint64 m_nextFront = -1;
    qint64 m_nextBack = 0;
};
