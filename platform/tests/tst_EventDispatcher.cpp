// The service's own event loop, installed as this test's main loop: timers,
// socket notifiers, posted events and wake-ups from other threads, and the
// Qt classes that stand on them.

#include "platform/EventDispatcher.h"

#include <QtTest>
#include <QProcess>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryFile>

#include <memory>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

EventDispatcher *loop()
{
    return qobject_cast<EventDispatcher *>(QAbstractEventDispatcher::instance());
}

// One turn that may wait; a guard timer ends it should nothing else.
void waitOneTurn(int guardMs = 10000)
{
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(guardMs);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

struct SocketPair
{
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends); }
    ~SocketPair() { closeBoth(); }
    void closeBoth()
    {
        for (int &end : ends)
            if (end >= 0) {
                ::close(end);
                end = -1;
            }
    }
    int ends[2] = {-1, -1};
};

// Counts a notifier's activations without reading, so the descriptor's
// state stays as the case left it.
struct Activations : QObject
{
    int count = 0;
    std::function<void()> onActivated;
    void watch(QSocketNotifier *notifier)
    {
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            ++count;
            if (onActivated)
                onActivated();
        });
    }
};

// What the loop hands over for its hosted readiness set, as "r", "w", "h"
// (readable, writable, hung up) per report of the watched key.
struct HostedReports
{
    static constexpr quint64 Key = 7;
    QStringList seen;
    std::unique_ptr<ReadinessSet> set;

    bool take()
    {
        set = loop()->hostReadiness([this](const ReadinessSet::Event *events, int count) {
            for (int i = 0; i < count; ++i) {
                const ReadinessSet::Event &event = events[i];
                seen << (event.key != Key ? QStringLiteral("other key")
                                          : QString(event.readable ? "r" : "") + (event.writable ? "w" : "")
                                                + (event.hangUp ? "h" : ""));
            }
        });
        return bool(set);
    }
};

} // namespace

class EventDispatcherTest : public QObject
{
    Q_OBJECT

private slots:
    void timersFireInDueOrder_data();
    void timersFireInDueOrder();
    void timerStoppedByEarlierHandlerDoesNotFire();
    void repeatingTimerSkipsMissedBeats();
    void timerDoesNotFireInsideItsOwnNestedLoop();
    void remainingTimeAndRegisteredTimers();
    void notifierKinds_data();
    void notifierKinds();
    void readNotifierRepeatsUntilRead();
    void notifierDeletedByEarlierHandler();
    void descriptorNumberReused_data();
    void descriptorNumberReused();
    void hostedSetReportsOncePerChange_data();
    void hostedSetReportsOncePerChange();
    void hostedSetIsOneAtATimeAndWaitsOutExcludedTurns();
    void loopSleepsSoonAfterServingTheHostedSet();
    void postedEventFromAnotherThreadWakesTheLoop();
    void quitFromAnotherThreadEndsExec();
    void signalsAndHookOncePerTurn();
    void deferredDeleteWaitsForNestedLoop();
    void qtClassesRunOnIt();
};

void EventDispatcherTest::timersFireInDueOrder_data()
{
    QTest::addColumn<QList<int>>("delays");
    QTest::addColumn<int>("busyMs"); // the thread's work before the loop turns again
    QTest::addColumn<QString>("expectedOrder");

    QTest::newRow("started late, due first") << QList<int>{60, 5, 30} << 0 << "bca";
    QTest::newRow("zero delay before any wait") << QList<int>{20, 0} << 0 << "ba";
    QTest::newRow("equal delays keep start order") << QList<int>{10, 10, 10} << 0 << "abc";
    QTest::newRow("all due in one late turn") << QList<int>{60, 5, 30} << 100 << "bca";
}

void EventDispatcherTest::timersFireInDueOrder()
{
    QFETCH(QList<int>, delays);
    QFETCH(int, busyMs);
    QFETCH(QString, expectedOrder);

    QString fired;
    std::vector<std::unique_ptr<QTimer>> timers;
    for (int i = 0; i < delays.size(); ++i) {
        auto timer = std::make_unique<QTimer>();
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        connect(timer.get(), &QTimer::timeout, this, [&fired, i] { fired += QChar('a' + i); });
        timer->start(delays.at(i));
        timers.push_back(std::move(timer));
    }
    QThread::msleep(busyMs);
    QTRY_COMPARE_WITH_TIMEOUT(fired.size(), delays.size(), 10000);
    QCOMPARE(fired, expectedOrder);
}

void EventDispatcherTest::timerStoppedByEarlierHandlerDoesNotFire()
{
    QTimer first;
    QTimer second;
    int secondFired = 0;
    for (QTimer *timer : {&first, &second}) {
        timer->setSingleShot(true);
        timer->start(0);
    }
    connect(&first, &QTimer::timeout, &second, &QTimer::stop);
    connect(&second, &QTimer::timeout, this, [&secondFired] { ++secondFired; });
    QTRY_VERIFY(!first.isActive());
    QCoreApplication::processEvents();
    QCOMPARE(secondFired, 0);
}

void EventDispatcherTest::repeatingTimerSkipsMissedBeats()
{
    QTimer beat;
    beat.setTimerType(Qt::PreciseTimer);
    int beats = 0;
    connect(&beat, &QTimer::timeout, this, [&beats] { ++beats; });
    beat.start(5);
    QTRY_VERIFY(beats > 0);

    // The thread is busy for twenty beats; one turn afterwards fires once,
    // not twenty times.
    QThread::msleep(100);
    const int before = beats;
    QCoreApplication::processEvents();
    QCOMPARE(beats, before + 1);
    QVERIFY(beat.remainingTime() <= 5);
}

void EventDispatcherTest::timerDoesNotFireInsideItsOwnNestedLoop()
{
    QTimer often;
    often.setTimerType(Qt::PreciseTimer);
    QTimer later;
    later.setSingleShot(true);
    int oftenFired = 0;
    int insideFired = -1;
    QEventLoop nested;
    connect(&later, &QTimer::timeout, &nested, &QEventLoop::quit);
    connect(&often, &QTimer::timeout, this, [&] {
        if (++oftenFired > 1)
            return;
        later.start(50);
        nested.exec();
        insideFired = oftenFired;
    });
    often.start(1);
    QTRY_VERIFY(insideFired >= 0);
    // Its handler's nested loop ran and ended on the other timer, without
    // firing the one whose handler it was in.
    QCOMPARE(insideFired, 1);
    QTRY_VERIFY(oftenFired > 1);
}

void EventDispatcherTest::remainingTimeAndRegisteredTimers()
{
    QObject owner;
    const int id = owner.startTimer(10000, Qt::VeryCoarseTimer);
    QVERIFY(id > 0);
    const int left = loop()->remainingTime(id);
    QVERIFY2(left > 9000 && left <= 10000, qPrintable(QString::number(left)));

    const QList<QAbstractEventDispatcher::TimerInfo> timers = loop()->registeredTimers(&owner);
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers.first().timerId, id);
    QCOMPARE(timers.first().interval, 10000);
    QCOMPARE(timers.first().timerType, Qt::VeryCoarseTimer);

    owner.killTimer(id);
    QCOMPARE(loop()->remainingTime(id), -1);
    QVERIFY(loop()->registeredTimers(&owner).isEmpty());
}

enum class Readiness { DataArrives, PeerCloses, Writable, UrgentData, PlainFile };
Q_DECLARE_METATYPE(Readiness)

void EventDispatcherTest::notifierKinds_data()
{
    QTest::addColumn<Readiness>("readiness");
    QTest::addColumn<QSocketNotifier::Type>("type");
    QTest::addColumn<bool>("activated");

    QTest::newRow("read: data") << Readiness::DataArrives << QSocketNotifier::Read << true;
    QTest::newRow("read: peer closed") << Readiness::PeerCloses << QSocketNotifier::Read << true;
    QTest::newRow("read: nothing yet") << Readiness::Writable << QSocketNotifier::Read << false;
    QTest::newRow("write: room to write") << Readiness::Writable << QSocketNotifier::Write << true;
    QTest::newRow("exception: urgent byte") << Readiness::UrgentData << QSocketNotifier::Exception << true;
    QTest::newRow("exception: ordinary data") << Readiness::DataArrives << QSocketNotifier::Exception << false;
    // The system does not watch plain files; poll() reports them ready.
    QTest::newRow("read: plain file") << Readiness::PlainFile << QSocketNotifier::Read << true;
}

void EventDispatcherTest::notifierKinds()
{
    QFETCH(Readiness, readiness);
    QFETCH(QSocketNotifier::Type, type);
    QFETCH(bool, activated);

    SocketPair pair;
    QTemporaryFile file;
    int watched = pair.ends[0];
    if (readiness == Readiness::UrgentData) {
        // Urgent data needs TCP.
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&address), length), 0);
        QCOMPARE(::listen(listener, 1), 0);
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length);
        pair.closeBoth();
        pair.ends[1] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        QCOMPARE(::connect(pair.ends[1], reinterpret_cast<sockaddr *>(&address), length), 0);
        pair.ends[0] = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        watched = pair.ends[0];
    } else if (readiness == Readiness::PlainFile) {
        QVERIFY(file.open());
        watched = int(file.handle());
    }

    QSocketNotifier notifier(watched, type);
    Activations seen;
    seen.watch(&notifier);
    // A turn first, so that a notifier that should stay quiet has had its chance.
    QCoreApplication::processEvents();
    const int quietBefore = seen.count;

    switch (readiness) {
    case Readiness::DataArrives:
        QCOMPARE(::write(pair.ends[1], "x", 1), 1);
        break;
    case Readiness::PeerCloses:
        ::close(pair.ends[1]);
        pair.ends[1] = -1;
        break;
    case Readiness::UrgentData:
        QCOMPARE(::send(pair.ends[1], "!", 1, MSG_OOB), 1);
        break;
    case Readiness::Writable:
    case Readiness::PlainFile:
        break;
    }

    if (activated) {
        QTRY_VERIFY(seen.count > 0);
    } else {
        QCOMPARE(quietBefore, 0);
        for (int turn = 0; turn < 3; ++turn)
            QCoreApplication::processEvents();
        QCOMPARE(seen.count, 0);
    }
}

void EventDispatcherTest::readNotifierRepeatsUntilRead()
{
    SocketPair pair;
    QSocketNotifier notifier(pair.ends[0], QSocketNotifier::Read);
    Activations seen;
    seen.watch(&notifier);
    QCOMPARE(::write(pair.ends[1], "abc", 3), 3);

    waitOneTurn();
    QCOMPARE(seen.count, 1);
    waitOneTurn();
    QCOMPARE(seen.count, 2);

    char buffer[8];
    QCOMPARE(::read(pair.ends[0], buffer, sizeof buffer), 3);
    waitOneTurn(100);
    QCOMPARE(seen.count, 2);
}

void EventDispatcherTest::notifierDeletedByEarlierHandler()
{
    SocketPair first;
    SocketPair second;
    auto firstNotifier = std::make_unique<QSocketNotifier>(first.ends[0], QSocketNotifier::Read);
    auto secondNotifier = std::make_unique<QSocketNotifier>(second.ends[0], QSocketNotifier::Read);
    Activations firstSeen;
    Activations secondSeen;
    firstSeen.watch(firstNotifier.get());
    secondSeen.watch(secondNotifier.get());
    // Whichever runs first takes the other away; the other must not run.
    firstSeen.onActivated = [&] { secondNotifier.reset(); };
    secondSeen.onActivated = [&] { firstNotifier.reset(); };

    QCOMPARE(::write(first.ends[1], "x", 1), 1);
    QCOMPARE(::write(second.ends[1], "x", 1), 1);
    waitOneTurn();
    QCOMPARE(firstSeen.count + secondSeen.count, 1);
}

void EventDispatcherTest::descriptorNumberReused_data()
{
    QTest::addColumn<bool>("closedBeforeNotifierGoes");
    QTest::newRow("notifier goes, then the descriptor") << false;
    QTest::newRow("descriptor closed under its notifier") << true;
}

void EventDispatcherTest::descriptorNumberReused()
{
    QFETCH(bool, closedBeforeNotifierGoes);

    auto old = std::make_unique<SocketPair>();
    const int number = old->ends[0];
    auto oldNotifier = std::make_unique<QSocketNotifier>(number, QSocketNotifier::Read);
    if (closedBeforeNotifierGoes) {
        old.reset();
        oldNotifier.reset();
    } else {
        oldNotifier.reset();
        old.reset();
    }

    SocketPair fresh;
    QCOMPARE(fresh.ends[0], number);
    QSocketNotifier notifier(fresh.ends[0], QSocketNotifier::Read);
    Activations seen;
    seen.watch(&notifier);
    QCOMPARE(::write(fresh.ends[1], "x", 1), 1);
    QTRY_VERIFY(seen.count > 0);
}

void EventDispatcherTest::hostedSetReportsOncePerChange_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("interest");
    QTest::addColumn<QStringList>("reports");
    const int read = ReadinessSet::Read;
    QTest::newRow("input") << "input" << read << QStringList{"r"};
    QTest::newRow("peer closed") << "peer closed" << read << QStringList{"rh"};
    QTest::newRow("room to write") << "nothing" << int(ReadinessSet::Write) << QStringList{"w"};
    QTest::newRow("input already reported") << "input, reported" << read << QStringList{};
    // The descriptor is still open in the loop's set under the old key.
    QTest::newRow("set released since") << "input, set released" << read << QStringList{};
}

void EventDispatcherTest::hostedSetReportsOncePerChange()
{
    QFETCH(QString, change);
    QFETCH(int, interest);
    QFETCH(QStringList, reports);

    SocketPair pair;
    HostedReports hosted;
    QVERIFY(hosted.take());
    QVERIFY(hosted.set->isHosted());
    QVERIFY(hosted.set->add(pair.ends[0], HostedReports::Key, interest));
    if (change.startsWith("input"))
        QCOMPARE(::write(pair.ends[1], "x", 1), 1);
    if (change == "peer closed") {
        ::close(pair.ends[1]);
        pair.ends[1] = -1;
    }
    if (change.endsWith("reported")) {
        QCoreApplication::processEvents();
        QCOMPARE(hosted.seen, QStringList{"r"});
        hosted.seen.clear();
    }
    if (change.endsWith("released")) {
        hosted.set.reset();
        QVERIFY(hosted.take());
    }

    QCoreApplication::processEvents();
    QCOMPARE(hosted.seen, reports);
}

void EventDispatcherTest::hostedSetIsOneAtATimeAndWaitsOutExcludedTurns()
{
    HostedReports first;
    QVERIFY(first.take());
    HostedReports second;
    QVERIFY(!second.take());

    SocketPair pair;
    QVERIFY(first.set->add(pair.ends[0], HostedReports::Key, ReadinessSet::Read));
    QCOMPARE(::write(pair.ends[1], "x", 1), 1);
    QCoreApplication::processEvents(QEventLoop::ExcludeSocketNotifiers);
    QCOMPARE(first.seen, QStringList{});
    waitOneTurn();
    QCOMPARE(first.seen, QStringList{"r"});

    first.set.reset();
    QVERIFY(second.take());
}

void EventDispatcherTest::loopSleepsSoonAfterServingTheHostedSet()
{
    SocketPair pair;
    HostedReports hosted;
    QVERIFY(hosted.take());
    QVERIFY(hosted.set->add(pair.ends[0], HostedReports::Key, ReadinessSet::Read));
    QCOMPARE(::write(pair.ends[1], "x", 1), 1);
    QCoreApplication::processEvents();
    QCOMPARE(hosted.seen, QStringList{"r"});

    // The look without sleeping lasts microseconds; the turn waits 200 ms.
    timespec before = {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &before);
    waitOneTurn(200);
    timespec after = {};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &after);
    const qint64 busyUs = (qint64(after.tv_sec - before.tv_sec) * 1000000000 + after.tv_nsec - before.tv_nsec) / 1000;
    QVERIFY2(busyUs < 20000, qPrintable(QStringLiteral("%1 µs on the processor").arg(busyUs)));

    // A command after the sleep is served as ever.
    QCOMPARE(::write(pair.ends[1], "y", 1), 1);
    waitOneTurn();
    QCOMPARE(hosted.seen, (QStringList{"r", "r"}));
}

void EventDispatcherTest::postedEventFromAnotherThreadWakesTheLoop()
{
    bool delivered = false;
    QTimer guard;
    guard.setSingleShot(true);
    guard.start(10000);
    std::thread poster([this, &delivered] {
        QThread::msleep(20);
        QMetaObject::invokeMethod(this, [&delivered] { delivered = true; }, Qt::QueuedConnection);
    });
    // The turn the post wakes delivers it.
    while (!delivered && guard.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    poster.join();
    QVERIFY(delivered);
    QVERIFY(guard.isActive());
}

void EventDispatcherTest::quitFromAnotherThreadEndsExec()
{
    QEventLoop running;
    QTimer guard;
    guard.setSingleShot(true);
    connect(&guard, &QTimer::timeout, &running, [&running] { running.exit(2); });
    guard.start(10000);
    std::thread stopper([&running] {
        QThread::msleep(20);
        running.exit(1);
    });
    const int result = running.exec();
    stopper.join();
    QCOMPARE(result, 1);
}

void EventDispatcherTest::signalsAndHookOncePerTurn()
{
    int awake = 0;
    int aboutToBlock = 0;
    QList<bool> hookSawWait;
    auto connections = {connect(loop(), &QAbstractEventDispatcher::awake, this, [&] { ++awake; }),
                        connect(loop(), &QAbstractEventDispatcher::aboutToBlock, this, [&] { ++aboutToBlock; })};
    loop()->setTurnHook([&hookSawWait](QEventLoop::ProcessEventsFlags flags) {
        hookSawWait.append(flags.testFlag(QEventLoop::WaitForMoreEvents));
        return false;
    });

    QMetaObject::invokeMethod(this, [] {}, Qt::QueuedConnection);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();

    loop()->setTurnHook({});
    for (const auto &connection : connections)
        disconnect(connection);
    QCOMPARE(awake, 2);
    // Only the turn that may wait announces it.
    QCOMPARE(aboutToBlock, 1);
    QCOMPARE(hookSawWait, (QList<bool>{false, false}));
}

void EventDispatcherTest::deferredDeleteWaitsForNestedLoop()
{
    QPointer<QObject> doomed = new QObject;
    bool aliveAfterNested = false;
    QEventLoop nested;
    QTimer::singleShot(0, this, [&] {
        doomed->deleteLater();
        QTimer::singleShot(20, &nested, &QEventLoop::quit);
        nested.exec();
        aliveAfterNested = !doomed.isNull();
    });
    QTRY_VERIFY(doomed.isNull());
    QVERIFY(aliveAfterNested);
}

void EventDispatcherTest::qtClassesRunOnIt()
{
    // A megabyte through a real TCP connection and back through a child
    // process: Qt's sockets, its process pipes and its child watcher all
    // stand on the notifiers and timers above.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QTRY_VERIFY(server.hasPendingConnections());
    QTcpSocket *accepted = server.nextPendingConnection();
    QVERIFY(client.waitForConnected(0) || client.state() == QAbstractSocket::ConnectedState);

    QByteArray payload(1 << 20, '\0');
    for (int i = 0; i < payload.size(); ++i)
        payload[i] = char(i * 131);
    client.write(payload);
    QByteArray received;
    connect(accepted, &QTcpSocket::readyRead, this, [&] { received += accepted->readAll(); });
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), payload.size(), 30000);
    QCOMPARE(received, payload);

    QProcess cat;
    cat.start(QStringLiteral("cat"), QStringList());
    QVERIFY(cat.waitForStarted());
    QByteArray echoed;
    connect(&cat, &QProcess::readyReadStandardOutput, this, [&] { echoed += cat.readAllStandardOutput(); });
    cat.write(received);
    cat.closeWriteChannel();
    bool finished = false;
    connect(&cat, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this, [&finished] { finished = true; });
    QTRY_VERIFY_WITH_TIMEOUT(finished, 30000);
    echoed += cat.readAllStandardOutput();
    QCOMPARE(echoed, payload);
}

int main(int argc, char **argv)
{
    auto *dispatcher = new EventDispatcher;
    if (!dispatcher->isValid())
        qFatal("the event loop could not get its epoll set or wake-up counter");
    QCoreApplication::setEventDispatcher(dispatcher);
    QCoreApplication app(argc, argv);
    EventDispatcherTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_EventDispatcher.moc"
