#include "platform/PrinterSpooler.h"

#include <cups/cups.h>

#include <QElapsedTimer>

#include <memory>

// CUPS: the printers come from the scheduler's printer list. A queue that
// is stopped or reports an offline reason counts as off line; one that
// refuses jobs as set offline by the user; the URI scheme of the device
// tells a USB-attached printer.
namespace PrinterSpooler {

namespace {

struct IppDeleter
{
    void operator()(ipp_t *ipp) const { ippDelete(ipp); }
};
using IppPtr = std::unique_ptr<ipp_t, IppDeleter>;

struct HttpDeleter
{
    void operator()(http_t *http) const { httpClose(http); }
};
using HttpPtr = std::unique_ptr<http_t, HttpDeleter>;

// The library polls the cancel flag as a plain int.
static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free);

constexpr double PollSeconds = 0.25;

struct Wait
{
    std::atomic<int> *cancel = nullptr;
    QElapsedTimer waited;
};

// Called every PollSeconds while an answer is awaited; 0 gives up.
int keepWaiting(http_t *, void *data)
{
    const Wait *wait = static_cast<const Wait *>(data);
    if (wait->cancel && wait->cancel->load())
        return 0;
    return wait->waited.elapsed() < LookupTimeoutMs ? 1 : 0;
}

// The scheduler's own connection, with a bounded connect and bounded
// waits for answers, instead of the library's shared default one.
HttpPtr connectToScheduler(std::atomic<int> *cancel, Wait &wait)
{
    HttpPtr http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, LookupTimeoutMs,
                              reinterpret_cast<int *>(cancel)));
    if (http) {
        wait.cancel = cancel;
        wait.waited.start();
        httpSetTimeout(http.get(), PollSeconds, keepWaiting, &wait);
    }
    return http;
}

QString defaultPrinterName(http_t *http)
{
    cups_dest_t *dest = cupsGetNamedDest(http, nullptr, nullptr);
    if (!dest)
        return QString();
    const QString name = QString::fromUtf8(dest->name);
    cupsFreeDests(1, dest);
    return name;
}

bool isOfflineReason(const char *reason)
{
    return reason && qstrncmp(reason, "offline", 7) == 0;
}

void readAttribute(ipp_attribute_t *attr, Printer &printer, bool &stopped, bool &offlineReason, bool &accepting)
{
    const char *name = ippGetName(attr);
    if (!name)
        return;
    const QByteArray key(name);
    if (key == "printer-name") {
        printer.name = QString::fromUtf8(ippGetString(attr, 0, nullptr));
    } else if (key == "device-uri") {
        printer.port = QString::fromUtf8(ippGetString(attr, 0, nullptr));
    } else if (key == "printer-state") {
        stopped = ippGetInteger(attr, 0) == IPP_PSTATE_STOPPED;
    } else if (key == "printer-is-accepting-jobs") {
        accepting = ippGetBoolean(attr, 0) != 0;
    } else if (key == "printer-state-reasons") {
        for (int i = 0; i < ippGetCount(attr); ++i)
            offlineReason = offlineReason || isOfflineReason(ippGetString(attr, i, nullptr));
    }
}

} // namespace

bool listPrinters(QList<Printer> *printers, std::atomic<int> *cancel)
{
    printers->clear();
    Wait wait;
    HttpPtr http = connectToScheduler(cancel, wait);
    if (!http)
        return false;
    static const char *const wanted[] = {"printer-name", "device-uri", "printer-state", "printer-state-reasons",
                                         "printer-is-accepting-jobs"};
    ipp_t *request = ippNewRequest(IPP_OP_CUPS_GET_PRINTERS);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  int(sizeof(wanted) / sizeof(wanted[0])), nullptr, wanted);
    // cupsDoRequest takes the request over.
    IppPtr response(cupsDoRequest(http.get(), request, "/"));
    // An empty scheduler answers "not found": nothing to list, not a failure.
    if (!response)
        return cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND;

    const QString defaultName = defaultPrinterName(http.get());
    ipp_attribute_t *attr = ippFirstAttribute(response.get());
    while (attr) {
        while (attr && ippGetGroupTag(attr) != IPP_TAG_PRINTER)
            attr = ippNextAttribute(response.get());
        if (!attr)
            break;
        Printer printer;
        bool stopped = false;
        bool offlineReason = false;
        bool accepting = true;
        for (; attr && ippGetGroupTag(attr) == IPP_TAG_PRINTER; attr = ippNextAttribute(response.get()))
            readAttribute(attr, printer, stopped, offlineReason, accepting);
        if (printer.name.isEmpty())
            continue;
        if (stopped || offlineReason)
            printer.status |= StatusOffline;
        if (!accepting)
            printer.attributes |= AttributeWorkOffline;
        if (printer.name == defaultName)
            printer.attributes |= AttributeDefault;
        printers->append(printer);
    }
    return true;
}

bool isUsbPort(const QString &port)
{
    return port.startsWith(QLatin1String("usb:"), Qt::CaseInsensitive);
}

// CUPS keeps the status of each thread's last request.
QString lastRequestError()
{
    if (cupsLastError() <= IPP_STATUS_OK_EVENTS_COMPLETE)
        return QString();
    return QString::fromUtf8(cupsLastErrorString());
}

} // namespace PrinterSpooler
