#pragma once

#include <QString>
#include <QtGlobal>

// Which of many descriptors are ready, asked of the system in one call: the
// caller watches only descriptor() (for instance with one QSocketNotifier)
// and, when it turns readable, collects the ready ones. Readiness is
// reported once per change (edge-triggered): a reader goes on reading until
// the system has nothing more, or remembers that it may.
//
// Each descriptor is registered with a key of the caller's own, which is
// what collect() reports. A closed descriptor leaves the set by itself, and
// its number may come back for a new one in the same batch: the key, not
// the number, tells them apart.
class ReadinessSet
{
public:
    enum Interest { Read = 1, Write = 2 };

    struct Event
    {
        quint64 key = 0;
        bool readable = false;
        bool writable = false;
        // The peer closed or reset its side, or the descriptor failed: a
        // read tells which.
        bool hangUp = false;
    };

    ReadinessSet();
    ~ReadinessSet();
    ReadinessSet(const ReadinessSet &) = delete;
    ReadinessSet &operator=(const ReadinessSet &) = delete;

    bool isValid() const { return m_descriptor >= 0; }
    // Readable while any registered descriptor has something to report.
    int descriptor() const { return m_descriptor; }

    bool add(int descriptor, quint64 key, int interest);
    bool modify(int descriptor, quint64 key, int interest);
    bool remove(int descriptor);

    // Up to maxEvents reports, without waiting; those beyond stay for the
    // next call. 0 when nothing is ready, -1 on failure.
    int collect(Event *events, int maxEvents);

    // The system's text for the last failure.
    QString errorString() const { return m_error; }

private:
    bool control(int operation, int descriptor, quint64 key, int interest);

    int m_descriptor = -1;
    QString m_error;
};
