#pragma once

#include "platform/ReadinessSet.h"

#include <QAbstractEventDispatcher>
#include <QHash>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

// The main thread's event loop, waiting in one readiness call of the system
// for everything it serves: socket notifiers, timers and wake-ups from other
// threads. Qt's own loop builds a descriptor list and polls it on every
// turn; this one keeps its descriptors registered with the system, so a turn
// with one ready client costs the same with 6 notifiers as with 600, and the
// thread sleeps where a wake-up reaches it soonest.
//
// Behaves as Qt's loop does: posted events are sent first (and again after
// a wake-up, so the event that woke a turn is delivered in it), notifiers are
// level-triggered (read on input, hang-up or error; write on output or error;
// exception on urgent data), timers keep their phase and skip the beats they
// missed, a timer does not fire again inside its own handler's nested loop,
// and awake() and aboutToBlock() come once per turn.
//
// After a turn that served its hosted readiness set (the command server),
// the loop looks again without sleeping for a few tens of microseconds
// before it sleeps: a client on this machine (the cashier's page) sends its
// next command that soon after an answer, and a sleep and wake-up in
// between cost the command two trips through the scheduler. Each look
// yields the processor, so a client waiting for it runs first; an idle loop
// never looks this way.
//
// Install before the application object: QCoreApplication::setEventDispatcher.
class EventDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    // What the window system queued (input, expose, the X server's events) is
    // delivered by its own code; the hook runs it once per turn, after
    // notifiers and timers. It must not wait.
    using TurnHook = std::function<bool(QEventLoop::ProcessEventsFlags)>;
    using ReadinessReceiver = std::function<void(const ReadinessSet::Event *events, int count)>;

    explicit EventDispatcher(QObject *parent = nullptr);
    ~EventDispatcher() override;

    // False when the system refused the readiness set or the wake-up counter;
    // the caller then keeps Qt's own loop.
    bool isValid() const;
    void setTurnHook(TurnHook hook);

    // A readiness set inside this loop's own wait, for the part of the
    // program that serves many descriptors itself: a set of its own, watched
    // by a notifier, costs every wake-up a second hop through the system.
    // Reports are handed to receive where notifiers fire, in batches. Keys
    // stay below 2^48. One at a time: null while another is out, or when
    // this loop is not valid. The set must go before the loop.
    std::unique_ptr<ReadinessSet> hostReadiness(ReadinessReceiver receive);

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;
    void flush() override;

private:
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        bool registered = false;
        // The system would not watch it (a plain file): always ready, as
        // poll() reports it.
        bool alwaysReady = false;
    };
    struct Timer
    {
        int id = 0;
        int interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject *object = nullptr;
        qint64 dueNs = 0;
        bool firing = false;
    };

    void updateWatch(int descriptor, Watch &watch);
    int waitMilliseconds(bool canWait, bool includeTimers, bool includeNotifiers) const;
    static constexpr int MaxBatch = 64;
    struct Reports
    {
        ReadinessSet::Event events[MaxBatch];
        int count = 0;
        // The set they were for: one released since is not reported to
        // the next holder.
        quint64 tag = 0;
    };

    int wait(int milliseconds, bool includeNotifiers, bool *wokenUp, Reports *hosted);
    int pollBriefly(int set, struct epoll_event *ready);
    int deliverHosted(const Reports &hosted);
    void markReady(int descriptor, quint32 events);
    int activateNotifiers();
    int activateTimers();
    void drainWakeUps();
    std::vector<Timer>::iterator findTimer(int timerId);

    int m_readiness = -1;
    // Only the wake-up counter: the wait while notifiers are excluded.
    int m_wakeOnly = -1;
    int m_wakeCounter = -1;
    std::atomic<bool> m_wakeUpPending{false};
    std::atomic<bool> m_interrupted{false};
    QHash<int, Watch> m_watches;
    QVector<int> m_alwaysReady;
    QVector<QSocketNotifier *> m_pendingNotifiers;
    std::vector<Timer> m_timers;
    TurnHook m_turnHook;
    ReadinessReceiver m_hostedReceiver;
    // Tells a report for the set out now from one for a set released since.
    quint64 m_hostedTag = 0;
    quint64 m_hostedGeneration = 0;
    // The last turn handed reports to the hosted set's receiver.
    bool m_hostedServed = false;
};
