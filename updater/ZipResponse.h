#pragma once

#include <QObject>

// Reports one unpacking run. Its signals are emitted on a pool thread and
// reach receivers in their own threads through queued delivery.
class ZipResponse : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    // entry counts from 1.
    void progress(int entry, int entries);
    void finished(bool result);
};
