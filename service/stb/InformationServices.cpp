#include "service/stb/InformationServices.h"

#include "common/Clock.h"
#include "common/UntrustedJson.h"
#include "service/log/LogFacility.h"
#include "service/stb/SubtitleRules.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <utility>

namespace {

const QHostAddress serviceGroup(QStringLiteral("224.0.0.8"));
const QHostAddress stbGroup(QStringLiteral("224.0.0.19"));
const QString subtitleFile = QStringLiteral("./subtitle.conf");

// Peers keep a 2047-byte buffer with a terminating zero.
constexpr int peerMessageLimit = 2046;
// Longer URL texts are cut; the boxes have always been sent at most this much.
constexpr int authUrlLimit = 222;
// Enough for a few seconds of status reports from a large venue while the
// main thread is busy elsewhere (a window repaint, an InfoData answer).
constexpr int receiveBufferBytes = 4 * 1024 * 1024;

constexpr int subtitleMessageType = 26;

// The InfoData answer stays below the command server's 8 MiB answer bound
// even when every listed box sends the longest names.
constexpr int stbListBudgetBytes = 6 * 1024 * 1024;

QByteArray untilFirstZero(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return zero >= 0 ? bytes.left(zero) : bytes;
}

} // namespace

CInformationServices::CInformationServices(const Context &context, QObject *parent)
    : QObject(parent), m_context(context)
{
    start();
}

CInformationServices::~CInformationServices()
{
    // A change of the last moments must not be lost at the end, and no
    // cashier is left without an answer.
    writeQueuedSubtitles();
    delete m_networkManager;
    m_networkManager = nullptr;
}

void CInformationServices::start()
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &CInformationServices::onReadyRead);
    // Several print services may run on one host; all of them share the port.
    m_socket.bind(QHostAddress::AnyIPv4, servicePort, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint);
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, receiveBufferBytes);
    m_socket.joinMulticastGroup(serviceGroup);
    m_socket.setSocketOption(QAbstractSocket::MulticastTtlOption, 10);
    m_socket.setSocketOption(QAbstractSocket::MulticastLoopbackOption, 0);

    m_networkManager = new QNetworkAccessManager(this);
    loadSubtitles();

    connect(&m_timer, &QTimer::timeout, this, &CInformationServices::onSendMsg);
    // Boxes that have not reported for a long time are forgotten.
    connect(&m_timer, &QTimer::timeout, this, [this] { m_stbInfos.expire(tickNow()); });
    m_timer.setInterval(sendIntervalMs);
    m_timer.start();
}

quint32 CInformationServices::tickNow() const
{
    if (m_context.clock)
        return quint32(quint64(m_context.clock->monotonicMs()));
    return quint32(tickCountMs());
}

qint64 CInformationServices::monotonicNow() const
{
    return (m_context.clock ? *m_context.clock : Clock::system()).monotonicMs();
}

quint32 CInformationServices::unixNow() const
{
    const Clock &clock = m_context.clock ? *m_context.clock : Clock::system();
    return quint32(quint64(clock.epochMs() / 1000));
}

// ---------------------------------------------------------------- sending

void CInformationServices::sendDatagram(const QByteArray &bytes, const QHostAddress &address, quint16 port)
{
    // An invalid address (none known, or not IPv4) would be refused anyway;
    // the send is simply lost, as with any other UDP failure.
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return;
    m_socket.writeDatagram(bytes, address, port);
}

void CInformationServices::sendStbMsg(const int &type, const QString &content, unsigned times, const QString &ip)
{
    QJsonObject message;
    message.insert(QStringLiteral("clientIP"), m_context.localAddress ? m_context.localAddress() : QString());
    message.insert(QStringLiteral("type"), QString::number(type));
    message.insert(QStringLiteral("content"), content);
    message.insert(QStringLiteral("times"), QString::number(times));
    const QByteArray bytes = QJsonDocument(message).toJson(QJsonDocument::Indented);

    if (!ip.isEmpty()) {
        // Twice, against loss; a box's address never falls back to broadcast.
        const QHostAddress box(ip);
        sendDatagram(bytes, box, stbPort);
        sendDatagram(bytes, box, stbPort);
        return;
    }
    const QString broadcast = m_context.broadcastAddress ? m_context.broadcastAddress() : QString();
    sendDatagram(bytes, QHostAddress(broadcast), stbPort);
    sendDatagram(bytes, stbGroup, stbPort);
}

void CInformationServices::sendPeerMsg(const QString &text)
{
    const QByteArray bytes = untilFirstZero(text.toUtf8()).left(peerMessageLimit);
    const QString broadcast = m_context.broadcastAddress ? m_context.broadcastAddress() : QString();
    sendDatagram(bytes, QHostAddress(broadcast), servicePort);
    sendDatagram(bytes, stbGroup, servicePort);
}

// ---------------------------------------------------------------- receiving

void CInformationServices::onReadyRead()
{
    while (m_socket.hasPendingDatagrams()) {
        const qint64 announced = m_socket.pendingDatagramSize();
        QByteArray buffer(int(qMax<qint64>(announced, 0)), Qt::Uninitialized);
        QHostAddress sender;
        const qint64 received = m_socket.readDatagram(buffer.data(), buffer.size(), &sender);
        if (received != announced) {
            WRITE_LOG(VodLog, QStringLiteral("读取数据包错误，nRecv=%1").arg(announced));
            continue;
        }

        const QJsonObject object = UntrustedJson::parseObject(buffer);
        const QString query = object.value(QLatin1String("query")).toString();
        if (query == QLatin1String("stbInfo")) {
            updateStbInfo(object, sender);
        } else if (query == QLatin1String("subtitle") && isPeerDeletion(object, sender)) {
            WRITE_LOG(PrinterLog, QStringLiteral("字幕消息，从打印控件接收:%1")
                                      .arg(QString::fromUtf8(untilFirstZero(buffer))));
            handleSubtitle(object.value(QLatin1String("data")), true);
        }
    }
}

// Other print services send each other deletions only. Our own deletions
// come back to us by broadcast and must not delete what was pushed since; an
// add from the network would reach every room and stay there for good.
bool CInformationServices::isPeerDeletion(const QJsonObject &datagram, const QHostAddress &sender)
{
    if (m_hostAddresses.isOwn(sender, monotonicNow()))
        return false;
    if (SubtitleMsg::deleteMode(datagram.value(QLatin1String("data")).toObject()) > 0)
        return true;
    quint64 unlogged = 0;
    if (m_peerAddLog.admit(monotonicNow(), &unlogged)) {
        WRITE_LOG(PrinterLog, QStringLiteral("字幕消息，忽略来自%1的添加（此前另有%2条未记录）")
                                  .arg(sender.toString(), QString::number(unlogged)));
    }
    return false;
}

// ---------------------------------------------------------------- registry

void CInformationServices::updateStbInfo(const QJsonObject &status, const QHostAddress &sender)
{
    // Status reports come on an IPv4 socket; keep the dotted form even if the
    // kernel hands the address over IPv4-mapped.
    bool isIPv4 = false;
    const quint32 ipv4 = sender.toIPv4Address(&isIPv4);
    const QString address = isIPv4 ? QHostAddress(ipv4).toString() : sender.toString();
    const StbInfo info = StbInfo::fromStatus(status, address, tickNow());

    WRITE_LOG(VodLog, QStringLiteral("机顶盒状态信息更新:ip:%1 room:%2 云账号:%3")
                          .arg(info.strIp, info.roomName, QString::number(info.unAccount)));

    const StbRegistry::Update update = m_stbInfos.update(info);
    if (update.outcome == StbRegistry::Outcome::Moved) {
        // A take-over of a room's record must be visible.
        WRITE_LOG(VodLog, QStringLiteral("机顶盒地址变更:云账号:%1 原ip:%2 新ip:%3")
                              .arg(QString::number(info.unAccount), update.previousIp, info.strIp));
    } else if (update.outcome == StbRegistry::Outcome::Refused) {
        quint64 unlogged = 0;
        if (m_fullRegistryLog.admit(monotonicNow(), &unlogged)) {
            WRITE_LOG(VodLog, QStringLiteral("机顶盒记录已达上限%1，忽略云账号:%2（此前另有%3条未记录）")
                                  .arg(QString::number(StbRegistry::maxRecords), QString::number(info.unAccount),
                                       QString::number(unlogged)));
        }
    }
}

QString CInformationServices::getStbInfo()
{
    const quint32 now = tickNow();
    QList<StbInfo> wentOffline;
    const QList<StbInfo> infos = m_stbInfos.online(now, &wentOffline);
    // Once per record, not at every request: stale records would otherwise
    // flood the log.
    for (const StbInfo &info : qAsConst(wentOffline)) {
        WRITE_LOG(VodLog, QStringLiteral("机顶盒离线：ip:%1,room:%2, 离线时间:%3")
                              .arg(info.strIp, info.roomName, QString::number(quint32(now - info.unTime))));
    }

    // The compact layout of {"code":180,"data":[...]} without any blank, room
    // names included: the text the cashier application has always been given.
    QByteArray text = QByteArrayLiteral("{\"code\":180,\"data\":[");
    text.reserve(qMin(512 * infos.size(), stbListBudgetBytes) + 32);
    int listed = 0;
    for (const StbInfo &info : infos) {
        const int before = text.size();
        if (listed > 0)
            text += ',';
        info.appendListEntryText(text);
        if (text.size() > stbListBudgetBytes) {
            text.truncate(before);
            WRITE_LOG(VodLog, QStringLiteral("机顶盒列表过长，只列出%1个，共%2个在线").arg(listed).arg(infos.size()));
            break;
        }
        ++listed;
    }
    text += "]}";
    return QString::fromUtf8(untilFirstZero(text));
}

bool CInformationServices::findStbByAccount(quint32 unAccount, StbInfo *found) const
{
    return m_stbInfos.find(unAccount, found);
}

QList<StbInfo> CInformationServices::stbInfoList()
{
    return m_stbInfos.records();
}

// ---------------------------------------------------------------- subtitles

void CInformationServices::handleSubtitle(const QJsonValue &data, const bool &fromNetwork)
{
    const QJsonObject command = data.toObject();
    const int deleteMode = SubtitleMsg::deleteMode(command);
    // Print services send each other deletions only.
    if (fromNetwork && deleteMode <= 0)
        return;

    // Only our own cashier's deletions go to the peers; theirs stop here.
    if (deleteMode > 0 && !fromNetwork) {
        QJsonObject peer;
        peer.insert(QStringLiteral("data"), data);
        peer.insert(QStringLiteral("query"), QStringLiteral("subtitle"));
        sendPeerMsg(QString::fromUtf8(QJsonDocument(peer).toJson(QJsonDocument::Compact)));
    }

    SubtitleRules::Result result;
    int removed = 0;
    {
        QMutexLocker lock(&m_subtitleMutex);
        const int before = m_subtitles.size();
        result = SubtitleRules::apply(m_subtitles, pushTimes, SubtitleMsg::fromCommand(command), deleteMode);
        removed = before - m_subtitles.size();
    }
    // The cashier's deletion rewrites the file even when nothing matched;
    // a peer's only when it changed the list, so that a peer repeating
    // deletions cannot keep the disk busy.
    const bool deleted = result == SubtitleRules::Result::Deleted && (!fromNetwork || removed > 0);
    if (result == SubtitleRules::Result::Added || deleted)
        m_subtitlesUnsaved = true;
    // A peer's deletion is written before the next datagram is read: no
    // answer waits for it, so nothing else would see it to the disk.
    if (!fromNetwork)
        queueSubtitleWrite();
    else if (deleted)
        saveIfUnsaved();
    if (result == SubtitleRules::Result::ListFull) {
        quint64 unlogged = 0;
        if (m_fullListLog.admit(monotonicNow(), &unlogged)) {
            WRITE_LOG(PrinterLog, QStringLiteral("字幕消息已达上限（%1条），忽略:%2（此前另有%3条未记录）")
                                      .arg(QString::number(SubtitleRules::maxMessages),
                                           command.value(QLatin1String("remark")).toString().left(64),
                                           QString::number(unlogged)));
        }
    }
}

bool CInformationServices::processSubtitles(QList<SubtitleMsg> &list)
{
    if (list.isEmpty())
        return false;
    const quint32 now = unixNow();
    bool removed = false;
    for (auto it = list.begin(); it != list.end();) {
        SubtitleMsg &msg = *it;
        if (!msg.isActive(now)) {
            WRITE_LOG(PrinterLog, QStringLiteral("字幕消息，删除: %1 nCount: %2, EndTime: %3")
                                      .arg(msg.remark, QString::number(msg.count), QString::number(msg.end_time)));
            it = list.erase(it);
            removed = true;
            continue;
        }
        if (msg.isDue(now)) {
            WRITE_LOG(PrinterLog, QStringLiteral("字幕消息，发送内容:%1, nCount:%2, accounts:%3")
                                      .arg(msg.remark, QString::number(msg.count), msg.accountIds));
            sendSubtitle(msg);
            msg.lastSendTime = now;
            if (msg.count != SubtitleMsg::untilEndTime)
                --msg.count;
        }
        ++it;
    }
    return removed;
}

void CInformationServices::sendSubtitle(const SubtitleMsg &msg)
{
    if (msg.accountIds.isEmpty()) {
        sendStbMsg(subtitleMessageType, msg.remark, msg.time, QString());
        return;
    }
    for (const quint32 account : msg.targetAccounts()) {
        StbInfo box;
        if (findStbByAccount(account, &box))
            sendStbMsg(subtitleMessageType, msg.remark, msg.time, box.strIp);
    }
}

void CInformationServices::pushSubtitle(const QJsonValue &data, const SubtitleSaved &saved)
{
    m_waitingForWrite.append(saved);
    handleSubtitle(data, false);
}

bool CInformationServices::saveSubtitles(const QList<SubtitleMsg> &list)
{
    QJsonArray saved;
    for (const SubtitleMsg &msg : list)
        saved.append(msg.toSaved());
    QJsonObject file;
    file.insert(QStringLiteral("list"), saved);
    ++m_subtitleWrites;
    return m_context.writeJsonFile && m_context.writeJsonFile(file, subtitleFile);
}

void CInformationServices::loadSubtitles()
{
    const QJsonObject file = m_context.readJsonFile ? m_context.readJsonFile(subtitleFile) : QJsonObject();
    const QJsonValue saved = file.value(QLatin1String("list"));
    if (!saved.isArray())
        return;
    QList<SubtitleMsg> loaded;
    for (const QJsonValue &element : saved.toArray())
        loaded.append(SubtitleMsg::fromSaved(element));
    int dropped = 0;
    loaded = SubtitleRules::bounded(loaded, &dropped);
    if (dropped > 0)
        WRITE_LOG(PrinterLog, QStringLiteral("字幕消息超出上限，载入时忽略%1条").arg(dropped));
    QMutexLocker lock(&m_subtitleMutex);
    m_subtitles = loaded;
}

QList<SubtitleMsg> CInformationServices::subtitleList()
{
    QMutexLocker lock(&m_subtitleMutex);
    return m_subtitles;
}

void CInformationServices::onSendMsg()
{
    bool removed = false;
    {
        QMutexLocker lock(&m_subtitleMutex);
        removed = processSubtitles(m_subtitles);
    }
    if (removed)
        m_subtitlesUnsaved = true;
    // Also retries a write that failed before (a full disk).
    saveIfUnsaved();
}

// Group commit: every change of this event-loop turn is written by one
// write at its end, and the cashiers' answers wait for it. Requests that
// arrive while the file is written wait in their sockets and go together
// into the next turn's write.
void CInformationServices::queueSubtitleWrite()
{
    if (m_subtitleWriteQueued)
        return;
    m_subtitleWriteQueued = true;
    QMetaObject::invokeMethod(this, &CInformationServices::writeQueuedSubtitles, Qt::QueuedConnection);
}

void CInformationServices::writeQueuedSubtitles()
{
    m_subtitleWriteQueued = false;
    const bool saved = saveIfUnsaved();
    const QList<SubtitleSaved> answers = std::exchange(m_waitingForWrite, {});
    for (const SubtitleSaved &answer : answers)
        answer(saved);
}

// The list in memory wins over the file: it is what the boxes are sent, and
// a deletion the cashier was refused must still not come back to the rooms.
// After a failed write the file stays behind, every later answer says so
// until a write succeeds, and each pass tries again.
bool CInformationServices::saveIfUnsaved()
{
    if (!m_subtitlesUnsaved)
        return true;
    QList<SubtitleMsg> copy;
    {
        QMutexLocker lock(&m_subtitleMutex);
        copy = m_subtitles;
    }
    if (saveSubtitles(copy)) {
        m_subtitlesUnsaved = false;
        if (std::exchange(m_subtitleWriteFailing, false))
            WRITE_LOG(PrinterLog, QStringLiteral("字幕消息已写入subtitle.conf，共%1条").arg(copy.size()));
        return true;
    }
    m_subtitleWriteFailing = true;
    quint64 unlogged = 0;
    if (m_subtitleWriteLog.admit(monotonicNow(), &unlogged)) {
        WRITE_LOG(PrinterLog, QStringLiteral("字幕消息写入subtitle.conf失败，内存中%1条未保存，稍后重试（此前另有%2次未记录）")
                                  .arg(QString::number(copy.size()), QString::number(unlogged)));
    }
    return false;
}

// ---------------------------------------------------------------- authorisation code

QString CInformationServices::authCodeFailure()
{
    return QStringLiteral("{\"errCode\": 1,\"query\": \"checkAuthCode\"}");
}

void CInformationServices::checkAuthCode(unsigned unAccount, const QJsonValue &data, const AuthCodeAnswer &answer)
{
    const QJsonObject request = data.toObject();
    StbInfo box;
    if (!findStbByAccount(unAccount, &box)) {
        WRITE_LOG(PrinterLog, QStringLiteral("=== 未查询到云账号:") + QString::number(unAccount) + QStringLiteral("  data:")
                                  + request.value(QLatin1String("method")).toString());
        answer(authCodeFailure());
        return;
    }

    // The code is one query value: "&", "=" or "#" in it must not reach the
    // box as further parameters or a fragment.
    QByteArray urlBytes = (QByteArrayLiteral("http://") + box.strIp.toUtf8() + ':' + QByteArray::number(stbHttpPort)
                           + QByteArrayLiteral("/stb/cprt_api.html?method=checkAuthCode&authCode=")
                           + QUrl::toPercentEncoding(request.value(QLatin1String("auth")).toString()));
    if (urlBytes.size() > authUrlLimit) {
        urlBytes.truncate(authUrlLimit);
        // Never in the middle of an escape.
        const int escape = urlBytes.lastIndexOf('%');
        if (escape >= 0 && escape > urlBytes.size() - 3)
            urlBytes.truncate(escape);
    }
    const QString urlText = QString::fromLatin1(urlBytes);
    QNetworkReply *reply = m_networkManager->get(QNetworkRequest(QUrl(urlText, QUrl::StrictMode)));
    awaitAuthCodeReply(reply, urlText, answer);
}

// The answer goes out from the reply's end; nothing waits for it, so any
// number of checks can be under way without one holding up another. A box
// that has vanished must not hold the cashier for as long as TCP keeps trying.
void CInformationServices::awaitAuthCodeReply(QNetworkReply *reply, const QString &urlText,
                                              const AuthCodeAnswer &answer)
{
    const int timeoutMs = m_context.authCodeTimeoutMs;
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    // Aborting ends the reply at once, through finished below.
    connect(deadline, &QTimer::timeout, reply, [reply] {
        reply->setProperty("korvelTimedOut", true);
        reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [reply, urlText, timeoutMs, answer] {
        reply->deleteLater();
        if (reply->property("korvelTimedOut").toBool()) {
            WRITE_LOG(PrinterLog, QStringLiteral("http请求(%1)超时，%2毫秒内未完成").arg(urlText, QString::number(timeoutMs)));
            answer(authCodeFailure());
            return;
        }
        answer(authCodeAnswerOf(reply, urlText));
    });
    deadline->start(timeoutMs);
}

QString CInformationServices::authCodeAnswerOf(QNetworkReply *reply, const QString &urlText)
{
    const QByteArray body = reply->readAll();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QUrl redirect = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    const bool succeeded = reply->error() == QNetworkReply::NoError && status != 300 && status != 405 && redirect.isEmpty();
    if (!succeeded) {
        WRITE_LOG(PrinterLog, QStringLiteral("http请求(%1)失败，状态码:%2, 错误:%3")
                                  .arg(urlText, QString::number(status), reply->errorString()));
        return authCodeFailure();
    }

    const QJsonObject answer = UntrustedJson::parseObject(body);
    WRITE_LOG(PrinterLog, QStringLiteral("http请求(%1)成功，response:%2").arg(urlText, QString::fromUtf8(untilFirstZero(body))));
    return QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Indented));
}
