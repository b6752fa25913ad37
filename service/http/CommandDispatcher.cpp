#include "service/http/CommandDispatcher.h"

#include "common/Clock.h"
#include "common/LenientJson.h"
#include "common/PrinterJson.h"
#include "common/UpdateConfig.h"
#include "service/log/LogFacility.h"
#include "service/http/CommandRequest.h"
#include "service/printing/LogoFiles.h"
#include "service/printing/PrintJobs.h"
#include "service/printing/PrintRecord.h"
#include "service/printing/PrinterDirectory.h"
#include "service/printing/PrinterSettings.h"
#include "service/stb/SetTopBoxLink.h"
#include "service/update/UpdaterLauncher.h"
#include "service/printing/ReceiptLogo.h"

#include <QDateTime>
#include <QFile>
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

// Longer bodies (receipts) are seldom sent twice and are not kept.
constexpr int RememberedBodyBytes = 1024;

QString indented(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

QString indented(const QJsonArray &array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Indented));
}

} // namespace

CommandDispatcher::CommandDispatcher(const Targets &targets)
    : m_targets(targets), m_roomAreaPath(QFile::encodeName(targets.jsonStore.resolve(RoomAreaFile)))
{
}

CommandDispatcher::ParsedCommand CommandDispatcher::parsedCommand(const QByteArray &body)
{
    if (!m_lastCommand.body.isNull() && body == m_lastCommand.body)
        return m_lastCommand;
    ParsedCommand command;
    command.request = parseCommand(body);
    command.msg = LenientJson::readString(command.request.value(QLatin1String("Msg")));
    if (body.size() <= RememberedBodyBytes) {
        command.body = body;
        m_lastCommand = command;
    }
    return command;
}

void CommandDispatcher::dispatchCommand(const QByteArray &body, const Answer &answer)
{
    // A copy: a command may run an event loop that reads the next body.
    const ParsedCommand command = parsedCommand(body);
    const QJsonObject &request = command.request;
    if (request.isEmpty()) {
        WRITE_LOG(PrinterLog, QStringLiteral("http连接数据错误，len: %1, data: %2")
                                  .arg(QString::number(body.size()), QString::fromUtf8(body)));
        answer(CodeZero);
        return;
    }

    const QString &msg = command.msg;
    if (msg == QLatin1String("EmpowerCode")) {
        empowerCodeCommand(request, answer);
        return;
    }
    if (msg == QLatin1String("SendMessage")) {
        sendMessageCommand(request, answer);
        return;
    }
    answer(immediateAnswer(msg, request));
}

QString CommandDispatcher::immediateAnswer(const QString &msg, const QJsonObject &request)
{
    if (msg.isEmpty())
        return printRequest(request);
    if (msg == QLatin1String("Settings"))
        return settingsCommand(request);
    if (msg == QLatin1String("InfoData"))
        return m_targets.setTopBoxes.getStbInfo();
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
    if (msg == QLatin1String("UpdateConfig"))
        return updateConfigCommand(request);
    if (msg == QLatin1String("DrinkMsg"))
        return drinkCommand(request);
    return CodeZero;
}

// A receipt: its logo pointed at the local copy, queued for the named
// printer when it is installed, else for the default one.
QString CommandDispatcher::printRequest(const QJsonObject &request)
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
        job.logoPath = m_targets.logoFiles.localLogoPath(url);
        job.content.replace(url, job.logoPath);
    }

    bool found = false;
    if (hasValue(request, QStringLiteral("Name"))) {
        const QString name = LenientJson::readString(request.value(QLatin1String("Name")));
        found = m_targets.printers.installedPrinterNames().contains(name);
        if (found)
            job.name = name;
    }
    if (hasValue(request, QStringLiteral("PrinterLeft")))
        job.printerLeft = LenientJson::readInt(request.value(QLatin1String("PrinterLeft")));
    if (hasValue(request, QStringLiteral("Width")))
        job.width = LenientJson::readInt(request.value(QLatin1String("Width")));
    job.receivedMs = Clock::system().epochMs();

    // A full queue refuses the job (and logs it).
    if (!m_targets.printJobs.addJob(job))
        return CodeZero;
    return found ? Code200 : CodeOne;
}

// Stored first, so the settings survive a restart; applied whatever the
// write gave, so they hold until then at least.
QString CommandDispatcher::settingsCommand(const QJsonObject &request)
{
    const QJsonValue data = request.value(QLatin1String("data"));
    if (!data.isArray())
        return CodeZero;
    const bool written = writeJsonFile(request, PrinterConfigFile);
    applyPrinterSettings(data.toArray());
    return written ? Code200 : CodeZero;
}

QString CommandDispatcher::printerStatusCommand() const
{
    return QStringLiteral("{\"code\":200, \"data\":%1}").arg(indented(m_targets.printers.printerList()));
}

// FireAlarm and CloseRoom: "open" and "close" each send one notice kind.
QString CommandDispatcher::setTopBoxCommand(const QJsonObject &request, int openType, int closeType, unsigned times,
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
    m_targets.setTopBoxes.sendStbMsg(type, QString(), times, ip);
    return Code200;
}

QString CommandDispatcher::setRoomAreaCommand(const QJsonObject &request)
{
    // Whatever the write gave, the kept answer may no longer be the file's.
    m_roomAreaAnswer = QString();
    return writeJsonFile(request, RoomAreaFile) ? Code200 : CodeZero;
}

// The cashier asks for the room areas far more often than they change: the
// answer is kept and built again only when the file looks different. A file
// changed just before it was read may change again within the same time
// stamp (the file system's clock moves in steps); its answer is not kept
// until the file has been left alone for a while.
QString CommandDispatcher::getRoomAreaCommand()
{
    if (!m_roomAreaAnswer.isNull() && m_roomAreaLooked)
        return m_roomAreaAnswer;
    const FileStamp stamp = FileStamp::of(m_roomAreaPath);
    m_roomAreaLooked = true;
    if (!m_roomAreaAnswer.isNull() && stamp == m_roomAreaStamp)
        return m_roomAreaAnswer;
    const QString answer = indented(m_targets.jsonStore.readJson(RoomAreaFile));
    constexpr qint64 settledNs = 2 * qint64(1000000000);
    const qint64 nowNs = QDateTime::currentMSecsSinceEpoch() * 1000000;
    const bool settled = !stamp.exists || nowNs - stamp.changedNs > settledNs;
    m_roomAreaAnswer = settled ? answer : QString();
    m_roomAreaStamp = stamp;
    return answer;
}

void CommandDispatcher::empowerCodeCommand(const QJsonObject &request, const Answer &answer)
{
    if (!hasValue(request, QStringLiteral("unAccount"))) {
        answer(CodeZero);
        return;
    }
    m_targets.setTopBoxes.checkAuthCode(LenientJson::readUnsigned(request.value(QLatin1String("unAccount"))),
                                        request.value(QLatin1String("data")), answer);
}

// Answered once subtitle.conf holds the change, like the other commands
// that promise a file: {"code":0} when it could not be written.
void CommandDispatcher::sendMessageCommand(const QJsonObject &request, const Answer &answer)
{
    m_targets.setTopBoxes.pushSubtitle(request.value(QLatin1String("data")),
                                       [answer](bool saved) { answer(saved ? Code200 : CodeZero); });
}

// Without Update.conf the updater is not installed and there is nothing to
// write. A device change that could not be stored is not acted on: the
// updater reads the file and would look for the old device.
QString CommandDispatcher::updateConfigCommand(const QJsonObject &request)
{
    bool written = true;
    if (mergeUpdateConfig(request, &written) && written)
        m_targets.updater.startUpdater();
    return written ? Code200 : CodeZero;
}

QString CommandDispatcher::drinkCommand(const QJsonObject &request)
{
    m_targets.setTopBoxes.sendStbMsg(LenientJson::readInt(request.value(QLatin1String("type"))),
                         LenientJson::readString(request.value(QLatin1String("content"))), 0,
                         LenientJson::readString(request.value(QLatin1String("ip"))));
    return Code200;
}

bool CommandDispatcher::mergeUpdateConfig(const QJsonObject &request, bool *written)
{
    // Read as the updater reads it, so both see the same values.
    QJsonObject stored = UpdateConfig::readObject(m_targets.jsonStore.resolve(UpdateConfigFile));
    // No Update.conf: the updater is not installed; nothing to tell it.
    if (stored.isEmpty())
        return false;
    const bool changed = UpdateConfig::mergeRequest(stored, request);
    const bool ok = writeJsonFile(stored, UpdateConfigFile);
    if (written)
        *written = ok;
    return changed;
}

void CommandDispatcher::applyPrinterSettings(const QJsonArray &settings)
{
    const QVector<PrintRecord> records = PrinterSettings::parse(settings);
    for (const PrintRecord &record : records)
        m_targets.printJobs.setPrinterConfig(record);
}

bool CommandDispatcher::writeJsonFile(const QJsonObject &object, const QString &name)
{
    if (m_targets.jsonStore.writeJson(object, name))
        return true;
    WRITE_LOG(PrinterLog, QStringLiteral("打印机配置写失败,%1").arg(name));
    return false;
}
