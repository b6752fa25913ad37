#pragma once

#include <QObject>

class QSocketNotifier;

// Turns the system's polite requests to end (Ctrl-C in a terminal, a
// service manager's stop) into a normal quit of the event loop, so the
// program tears down in order and keeps its last log lines.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    void terminationRequested();

private:
    void onNotified();

    QSocketNotifier *m_notifier = nullptr;
};
