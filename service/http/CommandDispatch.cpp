// The dispatcher of CMainApp: one JSON command in, one answer text out.

#include "service/app/MainApp.h"

#include "common/Clock.h"
#include "common/LenientJson.h"
#include "common/PrinterJson.h"
#include "platform/PrinterSpooler.h"
#include "service/app/LogFacility.h"
#include "service/http/CommandRequest.h"
#include "service/printing/PrintRecord.h"
#include "service/printing/PrinterCache.h"
#include "service/printing/ReceiptLogo.h"
#include "service/update/UpdateConfig.h"

#include <QJsonDocument>

using namespace CommandRequest;
using ReceiptLogo::logoUrl;

namespace {

const QString CodeZero = QStringLiteral("{\"code\":0}");
const QString CodeOne = QStringLiteral("{\"code\":1}");
const QString Code200 = QStringLiteral("{\"code\":200}");

const QString PrinterConfigFile = QStringLiteral("./PrinterConfig.json");
const QString RoomAreaFile = QStringLiteral("./RoomArea.json");
const QString UpdateConfigFile = QStringLiteral("./Updater/Update.conf");

QString indented(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

QString indented(const QJsonArray &array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

} // namespace

QString CMainApp::dispatchCommand(const QByteArray &body)
{
    const QJsonObject request = parseCommand(body);
    if (request.isEmpty()) {
        WRITE_LOG(PrinterLog, QStringLiteral("http连接数据错误，len: %1, data: %2")
                                  .arg(body.size())
                                  .arg(QString::fromUtf8(body)));
        return CodeZero;
    }

    const QString msg = LenientJson::readString(request.value(QLatin1String("Msg")));
    if (msg.isEmpty())
        return printRequest(request);
    if (msg == QLatin1String("Settings"))
        return settingsCommand(request);
    if (msg == QLatin1String("InfoData"))
        return setTopBoxList();
    if (msg == QLatin1String("PrinterStatus"))
        return printerStatusCommand();
    if (msg == QLatin1String("FireAlarm"))
        return setTopBoxCommand(request, 5, 6, 1, QString());
    if (msg == QLatin1String("CloseRoom"))
        return setTopBoxCommand(request, 3, 4, 0, LenientJson::readString(request.value(QLatin1String("ip"))));
    if (msg == QLatin1String("SetRoomArea"))
        return setRoomAreaCommand(request);
    if (msg == QLatin1String("GetRoomArea"))
        return getRoomAreaCommand();
    if (msg == QLatin1String("EmpowerCode"))
        return empowerCodeCommand(request);
    if (msg == QLatin1String("SendMessage")) {
        applySubtitleCommand(request.value(QLatin1String("data")));
        return Code200;
    }
    if (msg == QLatin1String("UpdateConfig"))
        return updateConfigCommand(request);
    if (msg == QLatin1String("DrinkMsg"))
        return drinkCommand(request);
    return CodeZero;
}

// A receipt: its logo pointed at the local copy, queued for the named
// printer when it is installed, else for the default one.
QString CMainApp::printRequest(const QJsonObject &request)
{
    PrintRecord job;
    job.content = LenientJson::readString(request.value(QLatin1String("data")));
    if (job.content.isEmpty()) {
        WRITE_LOG(PrinterLog, QStringLiteral("printer content is empty"));
        return CodeOne;
    }

    // An empty address would match between every pair of characters.
    const QString url = logoUrl(job.content);
    if (!url.isEmpty()) {
        job.logoPath = logoLocalPath(url);
        job.content.replace(url, job.logoPath);
    }

    bool found = false;
    if (hasValue(request, QStringLiteral("Name"))) {
        const QString name = LenientJson::readString(request.value(QLatin1String("Name")));
        found = installedPrinterNames().contains(name);
        if (found)
            job.name = name;
    }
    if (hasValue(request, QStringLiteral("PrinterLeft")))
        job.printerLeft = LenientJson::readInt(request.value(QLatin1String("PrinterLeft")));
    if (hasValue(request, QStringLiteral("Width")))
        job.width = LenientJson::readInt(request.value(QLatin1String("Width")));
    job.receivedMs = Clock::system().epochMs();

    // A full queue refuses the job (and logs it).
    if (!enqueuePrintJob(job))
        return CodeZero;
    return found ? Code200 : CodeOne;
}

// Stored first, so the settings survive a restart; applied whatever the
// write gave, so they hold until then at least.
QString CMainApp::settingsCommand(const QJsonObject &request)
{
    const QJsonValue data = request.value(QLatin1String("data"));
    if (!data.isArray())
        return CodeZero;
    const bool written = writeJsonFile(request, PrinterConfigFile);
    applyPrinterSettings(data.toArray());
    return written ? Code200 : CodeZero;
}

QString CMainApp::printerStatusCommand() const
{
    return QStringLiteral("{\"code\":200, \"data\":%1}").arg(indented(buildPrinterList()));
}

// FireAlarm and CloseRoom: "open" and "close" each send one notice kind.
QString CMainApp::setTopBoxCommand(const QJsonObject &request, int openType, int closeType, unsigned times,
                                   const QString &ip)
{
    const QString query = LenientJson::readString(request.value(QLatin1String("query")));
    int type = 0;
    if (query == QLatin1String("open"))
        type = openType;
    else if (query == QLatin1String("close"))
        type = closeType;
    else
        return CodeZero;
    sendSetTopBoxMessage(type, QString(), times, ip);
    return Code200;
}

QString CMainApp::setRoomAreaCommand(const QJsonObject &request)
{
    return writeJsonFile(request, RoomAreaFile) ? Code200 : CodeZero;
}

// The cashier asks for the room areas far more often than they change: the
// answer is kept and built again only when the file looks different.
QString CMainApp::getRoomAreaCommand()
{
    const FileStamp stamp = FileStamp::of(m_printerJson->resolve(RoomAreaFile));
    if (m_roomAreaAnswer.isNull() || stamp != m_roomAreaStamp) {
        m_roomAreaAnswer = indented(readJsonFile(RoomAreaFile));
        m_roomAreaStamp = stamp;
    }
    return m_roomAreaAnswer;
}

QString CMainApp::empowerCodeCommand(const QJsonObject &request)
{
    if (!hasValue(request, QStringLiteral("unAccount")))
        return CodeZero;
    return relayAuthCode(LenientJson::readUnsigned(request.value(QLatin1String("unAccount"))),
                         request.value(QLatin1String("data")));
}

QString CMainApp::updateConfigCommand(const QJsonObject &request)
{
    if (mergeUpdateConfig(request))
        startUpdater();
    return Code200;
}

QString CMainApp::drinkCommand(const QJsonObject &request)
{
    sendSetTopBoxMessage(LenientJson::readInt(request.value(QLatin1String("type"))),
                         LenientJson::readString(request.value(QLatin1String("content"))), 0,
                         LenientJson::readString(request.value(QLatin1String("ip"))));
    return Code200;
}

bool CMainApp::mergeUpdateConfig(const QJsonObject &request)
{
    QJsonObject stored = readJsonFile(UpdateConfigFile);
    // No Update.conf: the updater is not installed; nothing to tell it.
    if (stored.isEmpty())
        return false;
    const bool changed = UpdateConfig::mergeRequest(stored, request);
    writeJsonFile(stored, UpdateConfigFile);
    return changed;
}

// USB printers that are switched off or unplugged are not offered; any other
// printer is, since the spooler cannot tell whether a network printer is
// really reachable.
QJsonArray CMainApp::buildPrinterList() const
{
    const QList<PrinterSpooler::Printer> printers = m_printerCache->printers();
    QJsonArray list;
    for (const PrinterSpooler::Printer &printer : printers) {
        const bool unavailable = (printer.attributes & PrinterSpooler::AttributeWorkOffline)
            || (printer.status & (PrinterSpooler::StatusOffline | PrinterSpooler::StatusNotAvailable));
        if (PrinterSpooler::isUsbPort(printer.port) && unavailable)
            continue;
        QJsonObject entry;
        entry.insert(QStringLiteral("name"), printer.name);
        entry.insert(QStringLiteral("state"), QStringLiteral("Online"));
        entry.insert(QStringLiteral("default"), (printer.attributes & PrinterSpooler::AttributeDefault) ? 1 : 0);
        list.append(entry);
    }
    return list;
}

QStringList CMainApp::installedPrinterNames() const
{
    return m_printerCache->printerNames();
}
