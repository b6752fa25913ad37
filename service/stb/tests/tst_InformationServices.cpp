// The set-top-box link against a real venue LAN: fake boxes and a second print
// service in the harness's LAN namespace send real datagrams with their own
// addresses and capture what the service puts on the wire.

#include "common/PrinterJson.h"
#include "service/log/LogFacility.h"
#include "service/stb/InformationServices.h"
#include "service/stb/SubtitleRules.h"
#include "tests/support/FakeVenue.h"
#include "tests/support/ManualClock.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <memory>
#include <numeric>

namespace {

const QString group18108 = QStringLiteral("224.0.0.19");

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray boxMessage(const QString &type, const QString &content, const QString &times)
{
    return QStringLiteral("{\n    \"clientIP\": \"%1\",\n    \"content\": \"%2\",\n    \"times\": \"%3\",\n"
                          "    \"type\": \"%4\"\n}\n")
        .arg(FakeVenue::serviceAddress(), content, times, type)
        .toUtf8();
}

QStringList destinations(const QList<FakeVenue::Datagram> &datagrams)
{
    QStringList list;
    for (const FakeVenue::Datagram &datagram : datagrams)
        list.append(datagram.destination);
    return list;
}

// Writes the writer's pending lines and returns them (without time stamps),
// leaving the log folder empty for the next check.
QStringList takeLog(CBackupFiles &writer)
{
    QDateTime noRemoval = QDateTime::currentDateTime().addYears(1);
    writer.runPass(noRemoval);
    QStringList lines;
    QDir dir(logDirectory());
    for (const QFileInfo &file : dir.entryInfoList({writer.prefix() + QStringLiteral("_*.log")}, QDir::Files)) {
        for (const QString &line : QString::fromUtf8(TestSupport::readAll(file.filePath())).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const int stamp = line.indexOf(QLatin1String("] "));
            const int source = line.lastIndexOf(QLatin1String(" ("));
            lines.append(line.mid(stamp + 2, source - stamp - 2));
        }
        QFile::remove(file.filePath());
    }
    return lines;
}

QJsonObject status(const QJsonValue &account, const QString &room, const QJsonValue &isServer = 0)
{
    return {{"query", "stbInfo"}, {"account", account}, {"roomName", room}, {"isServer", isServer}};
}

} // namespace

class tst_InformationServices : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void socketAndTimer();
    void boxMessages_data();
    void boxMessages();
    void peerMessageIsCut();

    void statusReading_data();
    void statusReading();
    void ignoredDatagrams();
    void burstIsDrainedInOrder();
    void registryIsBounded();
    void serversFirst();
    void onlineRule_data();
    void onlineRule();
    void infoDataLayout();

    void subtitleSchedule_data();
    void subtitleSchedule();
    void oneOffMessages();
    void repeatedPushes();
    void deletions();
    void peerCommands_data();
    void peerCommands();
    void ownDeletionComesBack();
    void burstOfPushes();
    void accountList();
    void subtitlesSurviveRestart();
    void handWrittenSubtitleFile();

    void authCode_data();
    void authCode();
    void authCodeUnknownAccount();
    void authCodeWaitKeepsServing();

private:
    std::unique_ptr<CInformationServices> makeService();
    // Sends a status datagram from a box and waits until the service has it.
    void report(const QString &from, const QJsonObject &statusObject, const QString &to = QString());
    // A marker status that the service handles after everything sent before it.
    void syncWithService();
    int passAndCount(int seconds);
    // A relayed check and its answer, which comes from the event loop.
    QString relay(unsigned account, const QJsonObject &data);

    QTemporaryDir m_dir;
    std::unique_ptr<CPrinterJson> m_store;
    std::unique_ptr<FakeVenue> m_venue;
    ManualClock m_clock;
    std::unique_ptr<CInformationServices> m_service;
    QStringList m_boxes;
    quint32 m_syncAccount = 4000000000u;
    int m_writes = 0;
};

void tst_InformationServices::initTestCase()
{
    KORVEL_REQUIRE_HARNESS();
    QVERIFY(m_dir.isValid());
    initLogDirectory(m_dir.path());
    m_boxes = FakeVenue::boxAddresses();
    QVERIFY(m_boxes.size() >= 3);
    m_venue = std::make_unique<FakeVenue>();
    QVERIFY(m_venue->start());
}

void tst_InformationServices::init()
{
    QFile::remove(m_dir.filePath(QStringLiteral("subtitle.conf")));
    m_store = std::make_unique<CPrinterJson>(m_dir.path());
    m_writes = 0;
    m_clock.setLocalNow(QDateTime::fromSecsSinceEpoch(1800000000));
    m_service = makeService();
    // What earlier tests sent must not count for this one.
    QVERIFY(m_venue->settle(18108));
    QVERIFY(m_venue->settle(19262));
    m_venue->clear();
    takeLog(PrinterLog);
    takeLog(VodLog);
}

void tst_InformationServices::cleanup()
{
    m_service.reset();
}

std::unique_ptr<CInformationServices> tst_InformationServices::makeService()
{
    CInformationServices::Context context;
    context.localAddress = [] { return FakeVenue::serviceAddress(); };
    context.broadcastAddress = [] { return FakeVenue::broadcastAddress(); };
    CPrinterJson *store = m_store.get();
    context.readJsonFile = [store](const QString &name) { return store->readJson(name); };
    context.writeJsonFile = [this, store](const QJsonObject &object, const QString &name) {
        ++m_writes;
        return store->writeJson(object, name);
    };
    context.clock = &m_clock;
    context.authCodeTimeoutMs = 1500;
    return std::make_unique<CInformationServices>(context);
}

void tst_InformationServices::report(const QString &from, const QJsonObject &statusObject, const QString &to)
{
    QVERIFY(m_venue->send(from, to.isEmpty() ? FakeVenue::serviceAddress() : to, 19262, json(statusObject)));
    syncWithService();
}

void tst_InformationServices::syncWithService()
{
    const quint32 marker = ++m_syncAccount;
    QVERIFY(m_venue->send(FakeVenue::lanAddress(), FakeVenue::serviceAddress(), 19262,
                          json(status(QString::number(marker), QStringLiteral("marker")))));
    StbInfo found;
    QTRY_VERIFY(m_service->findStbByAccount(marker, &found));
}

// One scheduling pass, `seconds` after the previous one; returns how many
// subtitle datagrams reached the LAN on port 18108.
int tst_InformationServices::passAndCount(int seconds)
{
    m_clock.advanceMs(qint64(seconds) * 1000);
    m_venue->clear();
    m_service->onSendMsg();
    if (!m_venue->settle(18108))
        return -1;
    return m_venue->datagrams(FakeVenue::serviceAddress(), 18108).size();
}

// ---------------------------------------------------------------- wire

void tst_InformationServices::socketAndTimer()
{
    QCOMPARE(m_service->boundPort(), quint16(19262));
    // Other print services on the same host share the port.
    QUdpSocket other;
    QVERIFY(other.bind(QHostAddress::AnyIPv4, 19262, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint));

    // Multicast leaves with TTL 10, everything else with the system default.
    m_service->sendStbMsg(5, QString(), 1, QString());
    QVERIFY(m_venue->settle(18108));
    const auto sent = m_venue->datagrams(FakeVenue::serviceAddress(), 18108);
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.at(1).destination, group18108);
    QCOMPARE(sent.at(1).ttl, 10);

    // The periodic pass sends a due subtitle by itself, every few seconds.
    m_venue->clear();
    m_service->handleSubtitle(QJsonObject{{"remark", "tick"}, {"count", 1}}, false);
    QTRY_VERIFY_WITH_TIMEOUT(!m_venue->datagrams(FakeVenue::serviceAddress(), 18108).isEmpty(), 5000);
}

void tst_InformationServices::boxMessages_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("content");
    QTest::addColumn<uint>("times");
    QTest::addColumn<QString>("ip");
    QTest::addColumn<QStringList>("expectedDestinations");

    const QString bcast = FakeVenue::broadcastAddress();
    const QStringList boxes = FakeVenue::boxAddresses();
    QTest::newRow("fire alarm open") << 5 << QString() << 1u << QString() << QStringList{bcast, group18108};
    QTest::newRow("fire alarm close") << 6 << QString() << 1u << QString() << QStringList{bcast, group18108};
    QTest::newRow("close room with ip") << 3 << QString() << 0u << boxes.at(0) << QStringList{boxes.at(0), boxes.at(0)};
    QTest::newRow("open room without ip") << 4 << QString() << 0u << QString() << QStringList{bcast, group18108};
    QTest::newRow("drink message") << 12 << QStringLiteral("两杯茶 to 8") << 0u << boxes.at(1)
                                   << QStringList{boxes.at(1), boxes.at(1)};
    QTest::newRow("ip not IPv4") << 3 << QString() << 0u << QStringLiteral("room-8") << QStringList();
    QTest::newRow("ip IPv6") << 3 << QString() << 0u << QStringLiteral("fe80::1") << QStringList();
}

void tst_InformationServices::boxMessages()
{
    QFETCH(int, type);
    QFETCH(QString, content);
    QFETCH(uint, times);
    QFETCH(QString, ip);
    QFETCH(QStringList, expectedDestinations);

    m_service->sendStbMsg(type, content, times, ip);
    QVERIFY(m_venue->settle(18108));
    QVERIFY(m_venue->settle(19262));

    QCOMPARE(m_venue->datagrams(FakeVenue::serviceAddress(), 19262).size(), 0);
    const auto sent = m_venue->datagrams(FakeVenue::serviceAddress(), 18108);
    QCOMPARE(destinations(sent), expectedDestinations);
    const QByteArray expected = boxMessage(QString::number(type), content, QString::number(times));
    for (const FakeVenue::Datagram &datagram : sent)
        QCOMPARE(datagram.data, expected);
}

void tst_InformationServices::peerMessageIsCut()
{
    const QString text = QStringLiteral("{\"data\":\"") + QString(1500, QChar(0x5B57)) + QStringLiteral("\"}");
    m_service->sendPeerMsg(text);
    QVERIFY(m_venue->settle(19262));
    const auto sent = m_venue->datagrams(FakeVenue::serviceAddress(), 19262);
    QCOMPARE(destinations(sent), (QStringList{FakeVenue::broadcastAddress(), group18108}));
    for (const FakeVenue::Datagram &datagram : sent)
        QCOMPARE(datagram.data, text.toUtf8().left(2046));
}

// ---------------------------------------------------------------- registry

void tst_InformationServices::statusReading_data()
{
    QTest::addColumn<QJsonObject>("statusObject");
    QTest::addColumn<QString>("sentTo");
    QTest::addColumn<quint32>("account");
    QTest::addColumn<int>("isServer");
    QTest::addColumn<quint32>("cprtTime");

    const QJsonObject full{{"query", "stbInfo"}, {"account", 1234}, {"roomName", "A"}, {"isServer", 1},
                           {"isCloseRoom", 1}, {"cprtQrCode", "q"}, {"cprtPayStatus", 2}, {"cprtSigned", 3},
                           {"cprtTime", "1700000000"}};
    QTest::newRow("account as number, unicast") << full << FakeVenue::serviceAddress() << 1234u << 1 << 1700000000u;
    QJsonObject asString = full;
    asString["account"] = "1234";
    QTest::newRow("account as string, broadcast") << asString << FakeVenue::broadcastAddress() << 1234u << 1 << 1700000000u;
    QJsonObject serverAsText = full;
    serverAsText["isServer"] = "1";
    serverAsText["cprtTime"] = 1700000001;
    QTest::newRow("isServer as string, group") << serverAsText << QStringLiteral("224.0.0.8") << 1234u << 0 << 1700000001u;
    QTest::newRow("nothing but the query") << QJsonObject{{"query", "stbInfo"}} << FakeVenue::serviceAddress() << 0u << 0 << 0u;
    QJsonObject badAccount = full;
    badAccount["account"] = "12a";
    badAccount["cprtTime"] = -5;
    QTest::newRow("account not digits") << badAccount << FakeVenue::serviceAddress() << 0u << 1 << 0u;
}

void tst_InformationServices::statusReading()
{
    QFETCH(QJsonObject, statusObject);
    QFETCH(QString, sentTo);
    QFETCH(quint32, account);
    QFETCH(int, isServer);
    QFETCH(quint32, cprtTime);

    report(m_boxes.at(0), statusObject, sentTo);
    StbInfo info;
    QVERIFY(m_service->findStbByAccount(account, &info));
    QCOMPARE(info.strIp, m_boxes.at(0));
    QCOMPARE(info.isServer, isServer);
    QCOMPARE(info.cprtTime, cprtTime);
    QCOMPARE(info.roomName, statusObject.value("roomName").toString());

    const QStringList log = takeLog(VodLog);
    QVERIFY(log.contains(QStringLiteral("机顶盒状态信息更新:ip:%1 room:%2 云账号:%3")
                             .arg(m_boxes.at(0), info.roomName, QString::number(account))));
}

void tst_InformationServices::ignoredDatagrams()
{
    const QList<QByteArray> ignored{"not json", "[1,2]", json({{"query", "StbInfo"}, {"account", 7}}),
                                    json({{"query", "other"}, {"account", 7}}), json({{"account", 7}}), QByteArray()};
    for (const QByteArray &datagram : ignored)
        QVERIFY(m_venue->send(m_boxes.at(0), FakeVenue::serviceAddress(), 19262, datagram));
    syncWithService();
    QCOMPARE(m_service->stbInfoList().size(), 1); // the marker only
    QCOMPARE(takeLog(PrinterLog), QStringList());
    QCOMPARE(takeLog(VodLog).filter(QStringLiteral("读取数据包错误")), QStringList());
}

void tst_InformationServices::burstIsDrainedInOrder()
{
    // One account reported from three addresses: one record, the last report wins.
    for (int i = 0; i < 50; ++i) {
        QJsonObject s = status(77, QStringLiteral("R%1").arg(i));
        QVERIFY(m_venue->send(m_boxes.at(i % 3), FakeVenue::serviceAddress(), 19262, json(s)));
    }
    syncWithService();
    StbInfo info;
    QVERIFY(m_service->findStbByAccount(77, &info));
    QCOMPARE(info.roomName, QStringLiteral("R49"));
    QCOMPARE(info.strIp, m_boxes.at(49 % 3));
    const QList<StbInfo> all = m_service->stbInfoList();
    QCOMPARE(std::count_if(all.begin(), all.end(), [](const StbInfo &i) { return i.unAccount == 77; }), 1);
    const QStringList log = takeLog(VodLog);
    QCOMPARE(log.filter(QStringLiteral("机顶盒状态信息更新")).filter(QStringLiteral("云账号:77")).size(), 50);
    // Each move to another address is visible: a take-over of a room's record.
    const QStringList moves = log.filter(QStringLiteral("机顶盒地址变更:云账号:77 "));
    QCOMPARE(moves.size(), 49);
    QCOMPARE(moves.last(), QStringLiteral("机顶盒地址变更:云账号:77 原ip:%1 新ip:%2").arg(m_boxes.at(48 % 3), m_boxes.at(49 % 3)));
}

void tst_InformationServices::registryIsBounded()
{
    // A real box first, then a stranger inventing accounts.
    report(m_boxes.at(0), status(1, "real")); // with the marker: two records
    QList<QByteArray> invented;
    for (int i = 0; i < StbRegistry::maxRecords + 20; ++i)
        invented.append(json(status(100000 + i, QStringLiteral("fake"))));
    for (int from = 0; from < invented.size(); from += 200) {
        QVERIFY(m_venue->sendMany(FakeVenue::lanAddress(), FakeVenue::serviceAddress(), 19262, invented.mid(from, 200)));
        // A full registry still takes refreshes: this one marks the end of the chunk.
        const QString mark = QStringLiteral("sync%1").arg(from);
        QVERIFY(m_venue->send(FakeVenue::lanAddress(), FakeVenue::serviceAddress(), 19262, json(status(100000, mark))));
        StbInfo first;
        QTRY_VERIFY(m_service->findStbByAccount(100000, &first) && first.roomName == mark);
    }
    QCOMPARE(m_service->stbInfoList().size(), StbRegistry::maxRecords);
    QVERIFY(m_service->findStbByAccount(1, nullptr));
    // Names longer than any room's are cut.
    QVERIFY(m_venue->send(FakeVenue::lanAddress(), FakeVenue::serviceAddress(), 19262,
                          json(status(100001, QString(60000, QLatin1Char('n'))))));
    StbInfo fake;
    QTRY_VERIFY(m_service->findStbByAccount(100001, &fake) && fake.roomName.startsWith(QLatin1Char('n')));
    QCOMPARE(fake.roomName, QString(StbInfo::maxRoomNameChars, QLatin1Char('n')));
    QVERIFY(m_service->findStbByAccount(100000 + StbRegistry::maxRecords - 3, nullptr));
    QVERIFY(!m_service->findStbByAccount(100000 + StbRegistry::maxRecords - 2, nullptr));
    QCOMPARE(takeLog(VodLog).filter(QStringLiteral("机顶盒记录已达上限")).size(), 1);

    // Offline records are logged once, not at every request.
    m_clock.advanceMs(20000);
    QVERIFY(m_service->getStbInfo().endsWith(QLatin1String("\"data\":[]}")));
    QCOMPARE(takeLog(VodLog).filter(QStringLiteral("机顶盒离线")).size(), StbRegistry::maxRecords);
    m_service->getStbInfo();
    QCOMPARE(takeLog(VodLog).filter(QStringLiteral("机顶盒离线")), QStringList());

    // An hour later they are forgotten and the registry takes new boxes again.
    m_clock.advanceMs(StbRegistry::expiryMs);
    QTRY_COMPARE(m_service->stbInfoList().size(), 0);
    report(m_boxes.at(1), status(2, "new"));
    QVERIFY(m_service->findStbByAccount(2, nullptr));
}

void tst_InformationServices::serversFirst()
{
    report(m_boxes.at(0), status(1, "one", 0));
    report(m_boxes.at(1), status(2, "two", 1));
    report(m_boxes.at(2), status(3, "three", 1));
    report(m_boxes.at(0), status(1, "one", 1));
    QStringList rooms;
    for (const StbInfo &info : m_service->stbInfoList())
        rooms.append(info.roomName);
    rooms.removeAll(QStringLiteral("marker"));
    QCOMPARE(rooms, (QStringList{"three", "two", "one"}));
}

void tst_InformationServices::onlineRule_data()
{
    QTest::addColumn<qint64>("recordedAt");
    QTest::addColumn<qint64>("askedAfter");
    QTest::addColumn<bool>("listed");

    QTest::newRow("just heard") << qint64(1000) << qint64(1) << true;
    QTest::newRow("exactly 15000 ms") << qint64(1000) << qint64(15000) << true;
    QTest::newRow("15001 ms") << qint64(1000) << qint64(15001) << false;
    QTest::newRow("same millisecond") << qint64(1000) << qint64(0) << false;
    QTest::newRow("recorded before the wrap") << qint64(4294967296LL - 5) << qint64(10) << false;
    QTest::newRow("recorded after the wrap") << qint64(4294967296LL + 5) << qint64(10) << true;
}

void tst_InformationServices::onlineRule()
{
    QFETCH(qint64, recordedAt);
    QFETCH(qint64, askedAfter);
    QFETCH(bool, listed);

    m_clock.advanceMs(recordedAt - m_clock.monotonicMs());
    m_service->updateStbInfo(status(42, "Room 8"), QHostAddress(m_boxes.at(0)));
    m_clock.advanceMs(askedAfter);
    takeLog(VodLog);

    const QString answer = m_service->getStbInfo();
    QCOMPARE(answer.contains(QLatin1String("\"unAccount\":\"42\"")), listed);
    const QStringList offline = takeLog(VodLog).filter(QStringLiteral("机顶盒离线"));
    if (listed) {
        QCOMPARE(offline, QStringList());
    } else {
        const quint32 since = quint32(quint64(recordedAt + askedAfter) - quint64(recordedAt));
        QCOMPARE(offline, QStringList{QStringLiteral("机顶盒离线：ip:%1,room:Room 8, 离线时间:%2").arg(m_boxes.at(0)).arg(since)});
        m_service->getStbInfo();
        QCOMPARE(takeLog(VodLog).filter(QStringLiteral("机顶盒离线")), QStringList());
    }
}

void tst_InformationServices::infoDataLayout()
{
    QCOMPARE(m_service->getStbInfo(), QStringLiteral("{\"code\":180,\"data\":[]}"));

    m_clock.advanceMs(100);
    m_service->updateStbInfo({{"query", "stbInfo"}, {"account", "1001"}, {"roomName", "Room 8"}, {"isServer", 1},
                              {"isCloseRoom", 1}, {"cprtQrCode", "QR code 1"}, {"cprtPayStatus", 2},
                              {"cprtSigned", 3}, {"cprtTime", 1700000000}},
                             QHostAddress(m_boxes.at(1)));
    m_clock.advanceMs(5);
    QCOMPARE(m_service->getStbInfo(),
             QStringLiteral("{\"code\":180,\"data\":[{\"cprtPayStatus\":2,\"cprtQrCode\":\"QRcode1\",\"cprtSigned\":3,"
                            "\"cprtTime\":\"1700000000\",\"isCloseRoom\":1,\"isServer\":1,\"roomName\":\"Room8\","
                            "\"strIp\":\"%1\",\"unAccount\":\"1001\",\"unTime\":\"%2\"}]}")
                 .arg(m_boxes.at(1))
                 .arg(quint32(quint64(m_clock.monotonicMs() - 5))));

    // Several boxes, names that need escaping: the same text as the JSON
    // writer makes of the whole answer, less every blank.
    const QStringList names{QStringLiteral("A \"quoted\" \\ name"), QStringLiteral("包厢 8\n\t\u0001\u007f"),
                            QStringLiteral("emoji \U0001F600 / end\u2028"), QString(QChar(0xD800)) + QStringLiteral("lone")};
    for (int i = 0; i < names.size(); ++i) {
        QJsonObject report = status(2000 + i, names.at(i), i % 2);
        report["cprtSigned"] = i == 0 ? -2147483647 - 1 : 2147483647;
        report["cprtQrCode"] = names.at(names.size() - 1 - i);
        m_service->updateStbInfo(report, QHostAddress(m_boxes.at(i % m_boxes.size())));
    }
    m_clock.advanceMs(1);
    QJsonArray data;
    for (const StbInfo &info : m_service->stbInfoList())
        data.append(info.toListEntry());
    const QByteArray whole = QJsonDocument(QJsonObject{{"code", 180}, {"data", data}}).toJson(QJsonDocument::Compact);
    QCOMPARE(m_service->getStbInfo(), QString::fromUtf8(whole).remove(QLatin1Char(' ')));
}

// ---------------------------------------------------------------- subtitles

void tst_InformationServices::subtitleSchedule_data()
{
    QTest::addColumn<QJsonObject>("command");
    QTest::addColumn<QList<int>>("secondsBeforePass");
    QTest::addColumn<QList<int>>("sendsPerPass");
    QTest::addColumn<QList<int>>("sizeAfterPass");

    // The test clock stands at 1800000000.
    const QJsonObject three{{"remark", "welcome"}, {"count", 3}, {"intervalTime", 0}, {"cashier_push_id", 1}, {"time", 1}};
    QTest::newRow("count 3, interval 0") << three << QList<int>{0, 3, 3, 3} << QList<int>{1, 1, 1, 0}
                                         << QList<int>{1, 1, 1, 0};
    QJsonObject ten = three;
    ten["intervalTime"] = 10;
    QTest::newRow("interval 10") << ten << QList<int>{0, 3, 3, 3, 3, 3, 3, 3, 3} << QList<int>{1, 0, 0, 0, 1, 0, 0, 0, 1}
                                 << QList<int>{1, 1, 1, 1, 1, 1, 1, 1, 1};
    QJsonObject negative = three;
    negative["intervalTime"] = -1;
    QTest::newRow("negative interval") << negative << QList<int>{0, 3, 3600} << QList<int>{0, 0, 0} << QList<int>{1, 1, 1};
    const QJsonObject untilEnd{{"remark", "sale"}, {"count", -99}, {"intervalTime", 0}, {"cashier_push_id", 2},
                               {"time", 5}, {"end_time", "1800000006"}};
    QTest::newRow("-99 until end_time") << untilEnd << QList<int>{0, 3, 3, 3} << QList<int>{1, 1, 1, 0}
                                        << QList<int>{1, 1, 1, 0};
    QJsonObject endZero = untilEnd;
    endZero["end_time"] = 0;
    QTest::newRow("-99 with end_time 0") << endZero << QList<int>{0} << QList<int>{0} << QList<int>{0};
    QJsonObject countAsText = three;
    countAsText["count"] = "3";
    QTest::newRow("count as text") << countAsText << QList<int>{0} << QList<int>{0} << QList<int>{0};
}

void tst_InformationServices::subtitleSchedule()
{
    QFETCH(QJsonObject, command);
    QFETCH(QList<int>, secondsBeforePass);
    QFETCH(QList<int>, sendsPerPass);
    QFETCH(QList<int>, sizeAfterPass);

    m_service->handleSubtitle(command, false);
    takeLog(PrinterLog);
    for (int pass = 0; pass < secondsBeforePass.size(); ++pass) {
        // Each send goes to the broadcast address and the group.
        QCOMPARE(passAndCount(secondsBeforePass.at(pass)), sendsPerPass.at(pass) * 2);
        QCOMPARE(m_service->subtitleList().size(), sizeAfterPass.at(pass));
    }
    const QStringList log = takeLog(PrinterLog);
    const int sends = std::accumulate(sendsPerPass.begin(), sendsPerPass.end(), 0);
    QCOMPARE(log.filter(QStringLiteral("字幕消息，发送内容:")).size(), sends);
    if (sizeAfterPass.last() == 0) {
        const QStringList removal = log.filter(QStringLiteral("字幕消息，删除:"));
        QCOMPARE(removal.size(), 1);
        QVERIFY(removal.first().startsWith(QStringLiteral("字幕消息，删除: %1 nCount: ").arg(command.value("remark").toString())));
        // The removal reaches the file.
        QTRY_COMPARE(m_store->readJson(QStringLiteral("./subtitle.conf")).value("list").toArray().size(), 0);
    }
    if (sends > 0) {
        QVERIFY(log.contains(QStringLiteral("字幕消息，发送内容:%1, nCount:%2, accounts:")
                                 .arg(command.value("remark").toString(), command.value("count").toVariant().toString())));
    }
}

void tst_InformationServices::oneOffMessages()
{
    m_service->handleSubtitle(QJsonObject{{"remark", "a"}, {"count", -99}, {"end_time", 2000000000}}, false);
    m_service->handleSubtitle(QJsonObject{{"remark", "b"}, {"count", 0}}, false);
    QCOMPARE(m_service->subtitleList().size(), 0);

    m_service->handleSubtitle(QJsonObject{{"remark", "c"}, {"count", 2}, {"start_time", 5}, {"end_time", 9}}, false);
    QCOMPARE(m_service->subtitleList().size(), 1);
    QCOMPARE(m_service->subtitleList().first().end_time, 0u);
    QCOMPARE(passAndCount(0), 2);
    QCOMPARE(passAndCount(3), 2);
    QCOMPARE(passAndCount(3), 0);
    QCOMPARE(m_service->subtitleList().size(), 0);
    // Removing it saved the (empty) list; the one-off itself was never written.
    QTRY_COMPARE(m_store->readJson(QStringLiteral("./subtitle.conf")), QJsonObject({{"list", QJsonArray()}}));

    m_service->handleSubtitle(QJsonObject{{"remark", "d"}, {"count", 2}}, false);
    QCOMPARE(m_store->readJson(QStringLiteral("./subtitle.conf")), QJsonObject({{"list", QJsonArray()}}));
}

void tst_InformationServices::repeatedPushes()
{
    const QJsonObject push{{"remark", "hi"}, {"count", 5}, {"cashier_push_id", 17}, {"time", "100"}};
    m_service->handleSubtitle(push, false);
    m_service->handleSubtitle(push, false); // the cashier sends it again
    QCOMPARE(m_service->subtitleList().size(), 1);

    QJsonObject newer = push;
    newer["time"] = 101;
    m_service->handleSubtitle(newer, false);
    QCOMPARE(m_service->subtitleList().size(), 2);

    m_service->handleSubtitle(QJsonObject{{"delete", 1}, {"cashier_push_id", 17}}, false);
    QCOMPARE(m_service->subtitleList().size(), 0);
    m_service->handleSubtitle(newer, false);
    QCOMPARE(m_service->subtitleList().size(), 0);
    QJsonObject another = push;
    another["time"] = 102;
    m_service->handleSubtitle(another, false);
    QCOMPARE(m_service->subtitleList().size(), 1);
    QTRY_COMPARE(m_store->readJson(QStringLiteral("./subtitle.conf")).value("list").toArray().size(), 1);
}

void tst_InformationServices::deletions()
{
    for (int id : {3, 4, 3})
        m_service->handleSubtitle(QJsonObject{{"remark", "m"}, {"count", 5}, {"cashier_push_id", id}, {"time", id * 10 + m_service->subtitleList().size()}}, false);
    QCOMPARE(m_service->subtitleList().size(), 3);

    // From our cashier: applied and forwarded once (broadcast and group).
    const QJsonObject deleteThree{{"delete", 1}, {"cashier_push_id", 3}};
    m_service->handleSubtitle(deleteThree, false);
    QCOMPARE(m_service->subtitleList().size(), 1);
    QVERIFY(m_venue->settle(19262));
    auto forwarded = m_venue->datagrams(FakeVenue::serviceAddress(), 19262);
    QCOMPARE(destinations(forwarded), (QStringList{FakeVenue::broadcastAddress(), group18108}));
    for (const FakeVenue::Datagram &datagram : forwarded)
        QCOMPARE(datagram.data, QByteArray("{\"data\":{\"cashier_push_id\":3,\"delete\":1},\"query\":\"subtitle\"}"));
    // Our own broadcast comes back to us as a peer command: it must not go out again.
    syncWithService();
    QVERIFY(m_venue->settle(19262));
    QCOMPARE(m_venue->datagrams(FakeVenue::serviceAddress(), 19262).size(), 2);

    // An unknown id still rewrites the file and is still forwarded.
    m_venue->clear();
    QFile::remove(m_dir.filePath(QStringLiteral("subtitle.conf")));
    m_service->handleSubtitle(QJsonObject{{"delete", 1}, {"cashier_push_id", 99}}, false);
    QTRY_VERIFY(QFile::exists(m_dir.filePath(QStringLiteral("subtitle.conf"))));
    QVERIFY(m_venue->settle(19262));
    QCOMPARE(m_venue->datagrams(FakeVenue::serviceAddress(), 19262).size(), 2);

    // From another print service (a broadcast on the LAN): applied, not forwarded.
    m_venue->clear();
    const QByteArray peer = json({{"query", "subtitle"}, {"data", QJsonObject{{"delete", 2}}}});
    QVERIFY(m_venue->send(FakeVenue::lanAddress(), FakeVenue::broadcastAddress(), 19262, peer));
    QTRY_COMPARE(m_service->subtitleList().size(), 0);
    // Written before the service took its next datagram.
    QCOMPARE(m_store->readJson(QStringLiteral("./subtitle.conf")), QJsonObject({{"list", QJsonArray()}}));
    QVERIFY(m_venue->settle(19262));
    QCOMPARE(m_venue->datagrams(FakeVenue::serviceAddress(), 19262).size(), 0);
    QVERIFY(takeLog(PrinterLog).contains(QStringLiteral("字幕消息，从打印控件接收:") + QString::fromUtf8(peer)));
}

void tst_InformationServices::peerCommands_data()
{
    QTest::addColumn<bool>("fromOwnAddress");
    QTest::addColumn<QJsonObject>("data");
    QTest::addColumn<int>("listAfter");
    QTest::addColumn<bool>("loggedAsIgnored");
    QTest::addColumn<int>("writes"); // of subtitle.conf, for all three copies

    const QJsonObject add{{"remark", "injected"}, {"count", 5}, {"cashier_push_id", 9}, {"time", 1}};
    QTest::newRow("deletion from another print service") << false << QJsonObject{{"delete", 1}, {"cashier_push_id", 3}} << 1 << false << 1;
    QTest::newRow("deletion of an unknown id from another print service")
        << false << QJsonObject{{"delete", 1}, {"cashier_push_id", 77}} << 2 << false << 0;
    QTest::newRow("add from another host") << false << add << 2 << true << 0;
    QTest::newRow("deletion from our own address") << true << QJsonObject{{"delete", 2}} << 2 << false << 0;
    QTest::newRow("add from our own address") << true << add << 2 << false << 0;
}

void tst_InformationServices::peerCommands()
{
    QFETCH(bool, fromOwnAddress);
    QFETCH(QJsonObject, data);
    QFETCH(int, listAfter);
    QFETCH(bool, loggedAsIgnored);
    QFETCH(int, writes);

    for (int id : {3, 4})
        m_service->handleSubtitle(QJsonObject{{"remark", "m"}, {"count", 5}, {"cashier_push_id", id}, {"time", 1}}, false);
    QTRY_COMPARE(m_store->readJson(QStringLiteral("./subtitle.conf")).value("list").toArray().size(), 2);
    const quint64 writesBefore = m_service->subtitleWrites();
    takeLog(PrinterLog);
    const QByteArray datagram = json({{"query", "subtitle"}, {"data", data}});
    for (int copy = 0; copy < 3; ++copy) {
        if (fromOwnAddress) {
            QUdpSocket own;
            QVERIFY(own.bind(QHostAddress(FakeVenue::serviceAddress()), 0));
            QCOMPARE(own.writeDatagram(datagram, QHostAddress(FakeVenue::serviceAddress()), 19262), qint64(datagram.size()));
        } else {
            QVERIFY(m_venue->send(FakeVenue::lanAddress(), FakeVenue::broadcastAddress(), 19262, datagram));
        }
    }
    syncWithService();

    QCOMPARE(m_service->subtitleList().size(), listAfter);
    // Only a deletion that changed the list costs a write; repeats cost none.
    QCOMPARE(m_service->subtitleWrites() - writesBefore, quint64(writes));
    QCOMPARE(m_store->readJson(QStringLiteral("./subtitle.conf")).value("list").toArray().size(), listAfter);
    const QStringList log = takeLog(PrinterLog);
    const bool applied = !fromOwnAddress && !data.contains(QLatin1String("remark"));
    QCOMPARE(log.filter(QStringLiteral("字幕消息，从打印控件接收")).size(), applied ? 3 : 0);
    // A flood of adds costs one line, not one per datagram.
    QCOMPARE(log.filter(QStringLiteral("字幕消息，忽略来自%1的添加").arg(FakeVenue::lanAddress())).size(), loggedAsIgnored ? 1 : 0);
    QCOMPARE(log.size(), applied ? 3 : loggedAsIgnored ? 1 : 0);
}

// Our own forwarded deletion comes back by broadcast; a push of the same id
// made meanwhile must survive it.
void tst_InformationServices::ownDeletionComesBack()
{
    m_service->handleSubtitle(QJsonObject{{"remark", "old"}, {"count", 5}, {"cashier_push_id", 17}, {"time", 1}}, false);
    m_service->handleSubtitle(QJsonObject{{"delete", 1}, {"cashier_push_id", 17}}, false);
    m_service->handleSubtitle(QJsonObject{{"remark", "new"}, {"count", 5}, {"cashier_push_id", 17}, {"time", 2}}, false);
    QVERIFY(m_venue->settle(19262));
    QCOMPARE(m_venue->datagrams(FakeVenue::serviceAddress(), 19262).size(), 2); // the forward went out
    syncWithService();
    const QList<SubtitleMsg> list = m_service->subtitleList();
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().remark, QStringLiteral("new"));
}

void tst_InformationServices::burstOfPushes()
{
    for (int id = 1; id <= 1500; ++id)
        m_service->handleSubtitle(QJsonObject{{"remark", "m"}, {"count", 5}, {"cashier_push_id", id}, {"time", 1}}, false);
    QCOMPARE(m_service->subtitleList().size(), SubtitleRules::maxMessages);
    // The whole burst costs one write of the file.
    QTRY_COMPARE(m_writes, 1);
    QCOMPARE(m_store->readJson(QStringLiteral("./subtitle.conf")).value("list").toArray().size(), SubtitleRules::maxMessages);
    QCOMPARE(takeLog(PrinterLog).filter(QStringLiteral("字幕消息已达上限")).size(), 1);
}

void tst_InformationServices::accountList()
{
    report(m_boxes.at(0), status(1001, "a"));
    report(m_boxes.at(1), status(0, "zero"));
    report(m_boxes.at(2), status(1002, "b"));
    m_service->handleSubtitle(QJsonObject{{"remark", "hello"}, {"count", 1}, {"accountIds", "1001,,1002,5555"}}, false);
    QCOMPARE(passAndCount(0), 6);
    const auto sent = m_venue->datagrams(FakeVenue::serviceAddress(), 18108);
    QCOMPARE(destinations(sent), (QStringList{m_boxes.at(0), m_boxes.at(0), m_boxes.at(1), m_boxes.at(1),
                                              m_boxes.at(2), m_boxes.at(2)}));
    QCOMPARE(sent.first().data, boxMessage(QStringLiteral("26"), QStringLiteral("hello"), QStringLiteral("0")));

    // An account named over and over reaches its box once per pass.
    QString again = QStringLiteral("1001,").repeated(20000) + QStringLiteral("1001");
    m_service->handleSubtitle(QJsonObject{{"remark", "again"}, {"count", 1}, {"accountIds", again}}, false);
    QCOMPARE(passAndCount(3), 2);
}

void tst_InformationServices::subtitlesSurviveRestart()
{
    m_service->handleSubtitle(QJsonObject{{"remark", "until"}, {"count", -99}, {"intervalTime", 60}, {"cashier_push_id", 8},
                                          {"time", 7}, {"start_time", 1}, {"end_time", 1900000000}},
                              false);
    m_service->handleSubtitle(QJsonObject{{"remark", "twice"}, {"count", 2}, {"intervalTime", 60}, {"cashier_push_id", 9}, {"time", 3}, {"accountIds", "5,6"}}, false);
    QTRY_COMPARE(m_writes, 1);
    QCOMPARE(passAndCount(0), 2); // "twice" has no box to go to
    QCOMPARE(m_service->subtitleList().at(1).count, 1);

    // Every number is stored as a string; the count is the one last saved.
    const QJsonArray saved = m_store->readJson(QStringLiteral("./subtitle.conf")).value("list").toArray();
    QCOMPARE(saved.size(), 2);
    QCOMPARE(saved.at(0).toObject(),
             QJsonObject({{"accountIds", ""}, {"cashier_push_id", "8"}, {"count", "-99"}, {"end_time", "1900000000"},
                          {"intervalTime", "60"}, {"remark", "until"}, {"start_time", "1"}, {"time", "7"}}));
    QCOMPARE(saved.at(1).toObject().value("count"), QJsonValue("2"));

    m_service.reset();
    m_service = makeService();
    const QList<SubtitleMsg> loaded = m_service->subtitleList();
    QCOMPARE(loaded.size(), 2);
    QCOMPARE(loaded.at(0).lastSendTime, 0u);
    QCOMPARE(loaded.at(1).count, 2);
    // The first pass after start-up sends at once, whatever the interval.
    QCOMPARE(passAndCount(3), 2);
}

void tst_InformationServices::handWrittenSubtitleFile()
{
    QFile file(m_dir.filePath(QStringLiteral("subtitle.conf")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"list":[{"remark":"x","count":-99,"intervalTime":5,"cashier_push_id":4,"time":6,"start_time":1,
                "end_time":1900000000,"accountIds":""}, 3, {"remark":"y","count":"2","end_time":"abc"}]})");
    file.close();
    m_service.reset();
    m_service = makeService();
    const QList<SubtitleMsg> loaded = m_service->subtitleList();
    QCOMPARE(loaded.size(), 3);
    QCOMPARE(loaded.at(0).count, -99);
    QCOMPARE(loaded.at(0).end_time, 1900000000u);
    QCOMPARE(loaded.at(0).intervalTime, 5);
    QCOMPARE(loaded.at(1).remark, QString());
    QCOMPARE(loaded.at(1).count, 0);
    QCOMPARE(loaded.at(2).count, 2);
    QCOMPARE(loaded.at(2).end_time, 0u);
}

// ---------------------------------------------------------------- authorisation code

void tst_InformationServices::authCode_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QJsonObject>("headers");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("auth");
    QTest::addColumn<QString>("expectedTarget");
    QTest::addColumn<QString>("expectedAnswer");

    const QString failure = QStringLiteral("{\"errCode\": 1,\"query\": \"checkAuthCode\"}");
    const QString path = QStringLiteral("/stb/cprt_api.html?method=checkAuthCode&authCode=");
    QTest::newRow("200 with JSON") << 200 << QByteArray("{\"result\":0,\"msg\":\"ok\",\"a\":[1]}") << QJsonObject() << false
                                   << "AB12" << path + "AB12"
                                   << QStringLiteral("{\n    \"a\": [\n        1\n    ],\n    \"msg\": \"ok\",\n    \"result\": 0\n}\n");
    QTest::newRow("200 not JSON") << 200 << QByteArray("<html>") << QJsonObject() << false << "x" << path + "x"
                                  << QStringLiteral("{\n}\n");
    QTest::newRow("405 with JSON") << 405 << QByteArray("{\"result\":0}") << QJsonObject() << false << "x" << path + "x" << failure;
    QTest::newRow("redirect") << 302 << QByteArray("{\"result\":0}")
                              << QJsonObject{{"Location", "http://10.77.0.13:12080/other"}} << false << "x" << path + "x"
                              << failure;
    QTest::newRow("300") << 300 << QByteArray("{}") << QJsonObject() << false << "x" << path + "x" << failure;
    QTest::newRow("no answer") << 200 << QByteArray() << QJsonObject() << true << "x" << path + "x" << failure;
    QTest::newRow("code with blank and CJK") << 200 << QByteArray("{}") << QJsonObject() << false << QStringLiteral("a b码")
                                             << path + QStringLiteral("a%20b%E7%A0%81") << QStringLiteral("{\n}\n");
    // The code is one value: it cannot add parameters or a fragment.
    QTest::newRow("code with query characters") << 200 << QByteArray("{}") << QJsonObject() << false
                                                 << QStringLiteral("x&cmd=reboot#top 50%")
                                                 << path + QStringLiteral("x%26cmd%3Dreboot%23top%2050%25") << QStringLiteral("{\n}\n");
    const int room = 222 - QStringLiteral("http://%1:12080").arg(FakeVenue::boxAddresses().at(2)).size() - path.size();
    QTest::newRow("long code is cut") << 200 << QByteArray("{}") << QJsonObject() << false << QString(300, QLatin1Char('k'))
                                      << path + QString(room, QLatin1Char('k')) << QStringLiteral("{\n}\n");
    QTest::newRow("long code is cut between escapes") << 200 << QByteArray("{}") << QJsonObject() << false
                                                      << QString(300, QLatin1Char('&'))
                                                      << path + QStringLiteral("%26").repeated(room / 3) << QStringLiteral("{\n}\n");
}

void tst_InformationServices::authCode()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QJsonObject, headers);
    QFETCH(bool, silent);
    QFETCH(QString, auth);
    QFETCH(QString, expectedTarget);
    QFETCH(QString, expectedAnswer);

    const QString box = m_boxes.at(2);
    report(box, ::status(31, "room"));
    FakeVenue::HttpAnswer answer;
    answer.status = status;
    answer.body = body;
    answer.headers = headers;
    answer.silent = silent;
    QVERIFY(m_venue->serveHttp(box, answer));
    takeLog(PrinterLog);

    QCOMPARE(relay(31, QJsonObject{{"auth", auth}, {"method", "checkAuthCode"}}), expectedAnswer);
    QTRY_COMPARE(m_venue->httpRequests(box).size(), 1);
    QCOMPARE(m_venue->httpRequests(box).first(), QStringLiteral("GET %1 HTTP/1.1").arg(expectedTarget));

    const QStringList log = takeLog(PrinterLog);
    QCOMPARE(log.size(), 1);
    const QString line = log.first();
    if (expectedAnswer.startsWith(QLatin1String("{\"errCode\""))) {
        QVERIFY2(line.contains(silent ? QStringLiteral("超时") : QStringLiteral("失败，状态码:%1").arg(status)), qPrintable(line));
    } else {
        QVERIFY2(line.endsWith(QStringLiteral("成功，response:") + QString::fromUtf8(body)), qPrintable(line));
    }
}

QString tst_InformationServices::relay(unsigned account, const QJsonObject &data)
{
    QString answer;
    m_service->checkAuthCode(account, data, [&answer](const QString &text) { answer = text; });
    if (!QTest::qWaitFor([&answer] { return !answer.isNull(); }, 20000))
        return QStringLiteral("no answer");
    return answer;
}

void tst_InformationServices::authCodeUnknownAccount()
{
    QCOMPARE(relay(4242, QJsonObject{{"auth", "x"}, {"method", "checkAuthCode"}}),
             QStringLiteral("{\"errCode\": 1,\"query\": \"checkAuthCode\"}"));
    QCOMPARE(takeLog(PrinterLog), QStringList{QStringLiteral("=== 未查询到云账号:4242  data:checkAuthCode")});

    // A box that is gone: nothing listens at its last address any more.
    report(m_boxes.at(0), status(55, "gone"));
    QCOMPARE(relay(55, QJsonObject{{"auth", "x"}}),
             QStringLiteral("{\"errCode\": 1,\"query\": \"checkAuthCode\"}"));
}

void tst_InformationServices::authCodeWaitKeepsServing()
{
    const QString box = m_boxes.at(1);
    report(box, status(61, "slow"));
    FakeVenue::HttpAnswer slow;
    slow.body = "{\"ok\":1}";
    slow.delayMs = 700;
    QVERIFY(m_venue->serveHttp(box, slow));

    // While the relay waits, status reports are still handled.
    bool sentDuringWait = false;
    QTimer::singleShot(0, this, [&] {
        sentDuringWait = m_venue->send(m_boxes.at(0), FakeVenue::serviceAddress(), 19262, json(status(62, "during")));
    });
    QCOMPARE(relay(61, QJsonObject{{"auth", "z"}}), QStringLiteral("{\n    \"ok\": 1\n}\n"));
    QVERIFY(sentDuringWait);
    QVERIFY(m_service->findStbByAccount(62, nullptr));
}

QTEST_GUILESS_MAIN(tst_InformationServices)
#include "tst_InformationServices.moc"
