#include "service/stb/StbRegistry.h"

StbRegistry::Update StbRegistry::update(const StbInfo &info)
{
    QMutexLocker lock(&m_mutex);
    Update result;
    const auto known = m_entries.find(info.unAccount);
    if (known != m_entries.end()) {
        Entry &entry = known.value();
        result.outcome = entry.info.strIp == info.strIp ? Outcome::Refreshed : Outcome::Moved;
        if (result.outcome == Outcome::Moved)
            result.previousIp = entry.info.strIp;
        entry.info = info;
        entry.offlineReported = false;
        return result;
    }
    if (m_entries.size() >= maxRecords)
        return result;
    Entry entry;
    entry.info = info;
    entry.place = info.isServer != 0 ? m_nextFront-- : m_nextBack++;
    m_order.emplace(entry.place, info.unAccount);
    m_entries.insert(info.unAccount, entry);
    result.outcome = Outcome::Added;
    return result;
}

bool StbRegistry::find(quint32 unAccount, StbInfo *found) const
{
    QMutexLocker lock(&m_mutex);
    const auto entry = m_entries.constFind(unAccount);
    if (entry == m_entries.constEnd())
        return false;
    if (found)
        *found = entry->info;
    return true;
}

bool StbRegistry::isExpired(const StbInfo &info, quint32 now)
{
    // Counter values wrap after 2^32 ms; the age is taken modulo 2^32 too.
    return quint32(now - info.unTime) > expiryMs;
}

void StbRegistry::remove(QHash<quint32, Entry>::iterator entry)
{
    m_order.erase(entry->place);
    m_entries.erase(entry);
}

QList<StbInfo> StbRegistry::online(quint32 now, QList<StbInfo> *wentOffline)
{
    QMutexLocker lock(&m_mutex);
    QList<StbInfo> listed;
    for (auto place = m_order.begin(); place != m_order.end();) {
        const auto entry = m_entries.find(place->second);
        ++place;
        if (entry->info.isOnline(now)) {
            listed.append(entry->info);
        } else if (isExpired(entry->info, now)) {
            remove(entry);
        } else if (!entry->offlineReported) {
            entry->offlineReported = true;
            if (wentOffline)
                wentOffline->append(entry->info);
        }
    }
    return listed;
}

int StbRegistry::expire(quint32 now)
{
    QMutexLocker lock(&m_mutex);
    int removed = 0;
    for (auto entry = m_entries.begin(); entry != m_entries.end();) {
        if (isExpired(entry->info, now)) {
            m_order.erase(entry->place);
            entry = m_entries.erase(entry);
            ++removed;
        } else {
            ++entry;
        }
    }
    return removed;
}

QList<StbInfo> StbRegistry::records() const
{
    QMutexLocker lock(&m_mutex);
    QList<StbInfo> all;
    all.reserve(int(m_order.size()));
    for (const auto &place : m_order)
        all.append(m_entries.value(place.second).info);
    return all;
}

int StbRegistry::size() const
{
    QMutexLocker lock(&m_mutex);
    return m_entries.size();
}
