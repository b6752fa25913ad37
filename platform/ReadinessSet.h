#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

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
//
// A set may also live inside a host's wait (the thread's event loop, which
// hands out such sets): its descriptors are then registered in the host's
// own set, so a wake-up takes one hop through the system rather than two,
// and the host passes their reports on. Such a set has no descriptor of its
// own and collect() finds nothing.
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
    // Registers in hostDescriptor's set under key | keyTag (keys stay below
    // keyTag); released() runs when this set goes.
    ReadinessSet(int hostDescriptor, quint64 keyTag, std::function<void()> released);
    ~ReadinessSet();
    ReadinessSet(const ReadinessSet &) = delete;
    ReadinessSet &operator=(const ReadinessSet &) = delete;

    bool isValid() const { return m_descriptor >= 0; }
    bool isHosted() const { return bool(m_released); }
    // Readable while any registered descriptor has something to report
    // (the host's, for a hosted set).
    int descriptor() const { return m_descriptor; }

    bool add(int descriptor, quint64 key, int interest);
    bool modify(int descriptor, quint64 key, int interest);
    bool remove(int descriptor);

    // Up to maxEvents reports, without waiting; those beyond stay for the
    // next call. 0 when nothing is ready, -1 on failure.
    int collect(Event *events, int maxEvents);

    // The system's text for the last failure.
    QString errorString() const { return m_error; }

    // A report of the system's readiness bits, as collect() gives it: what a
    // host's wait passes on.
    static Event eventOf(quint64 key, quint32 systemEvents);

private:
    bool control(int operation, int descriptor, quint64 key, int interest);

    int m_descriptor = -1;
    quint64 m_keyTag = 0;
    std::function<void()> m_released;
    QString m_error;
};
