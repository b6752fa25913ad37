#pragma once

struct PrintRecord;

// Where print commands leave their work: the print queue, as the command
// dispatcher sees it.
class PrintJobs
{
public:
    virtual ~PrintJobs() = default;

    // Queues a job (marking it active); never waits for a printer. False
    // when the queue is full and the job was refused.
    virtual bool addJob(PrintRecord &job) = 0;
    // Stores one printer's layout settings.
    virtual void setPrinterConfig(const PrintRecord &record) = 0;
};
