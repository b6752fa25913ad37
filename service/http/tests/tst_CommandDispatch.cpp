// The dispatcher: every command's answer and hand-off, print requests and
// the files it keeps (PrinterConfig.json, RoomArea.json, Update.conf).

#include "common/Clock.h"
#include "service/testsupport/LogCapture.h"
#include "service/testsupport/RecordingTargets.h"
#include "tests/support/TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QJsonObject readObject(const QString &path)
{
    return QJsonDocument::fromJson(TestSupport::readAll(path)).object();
}

// An Update.conf as the updater writes it.
const QByteArray UpdateConf = "{\n    \"device\": \"10\",\n    \"name\": \"front desk\",\n    \"silent\": \"0\",\n"
                              "    \"startTime\": \"200\",\n    \"updateTime\": \"2026-01-02\",\n"
                              "    \"url\": \"http://updates.invalid/check?x=1\",\n    \"version\": \"5\"\n}\n";

} // namespace

class tst_CommandDispatch : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_folder = std::make_unique<QTemporaryDir>();
        QVERIFY(m_folder->isValid());
        m_app = std::make_unique<RecordingTargets>(m_folder->path());
    }

    // Fixed answers, and what each command hands on (nothing for the refused ones).
    void answers_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QStringList>("handOffs");
        const QString zero = QStringLiteral(R"({"code":0})");
        const QString ok = QStringLiteral(R"({"code":200})");
        const QStringList none;

        QTest::newRow("empty body") << QByteArray() << zero << none;
        QTest::newRow("empty object") << QByteArray("{}") << zero << none;
        QTest::newRow("array") << QByteArray("[1,2]") << zero << none;
        QTest::newRow("not JSON") << QByteArray("Msg=InfoData") << zero << none;
        QTest::newRow("unknown command") << QByteArray(R"({"Msg":"Reboot"})") << zero << none;
        QTest::newRow("name in lower case") << QByteArray(R"({"Msg":"settings","data":[]})") << zero << none;
        QTest::newRow("InfoData") << QByteArray(R"({"Msg":"InfoData"})") << QStringLiteral(R"({"code":180,"data":[]})")
                                  << none;
        QTest::newRow("FireAlarm open") << QByteArray(R"({"Msg":"FireAlarm","query":"open"})") << ok
                                        << QStringList{QStringLiteral("stb 5||1|")};
        QTest::newRow("FireAlarm close") << QByteArray(R"({"Msg":"FireAlarm","query":"close","ip":"10.77.0.11"})")
                                         << ok << QStringList{QStringLiteral("stb 6||1|")};
        QTest::newRow("FireAlarm OPEN") << QByteArray(R"({"Msg":"FireAlarm","query":"OPEN"})") << zero << none;
        QTest::newRow("FireAlarm without query") << QByteArray(R"({"Msg":"FireAlarm"})") << zero << none;
        QTest::newRow("CloseRoom open") << QByteArray(R"({"Msg":"CloseRoom","query":"open","ip":"10.77.0.12"})") << ok
                                        << QStringList{QStringLiteral("stb 3||0|10.77.0.12")};
        QTest::newRow("CloseRoom close, no ip") << QByteArray(R"({"Msg":"CloseRoom","query":"close"})") << ok
                                                << QStringList{QStringLiteral("stb 4||0|")};
        QTest::newRow("CloseRoom other query") << QByteArray(R"({"Msg":"CloseRoom","query":1,"ip":"x"})") << zero
                                               << none;
        QTest::newRow("DrinkMsg") << QByteArray(R"({"Msg":"DrinkMsg","type":9,"content":"两杯茶","ip":"10.77.0.13"})")
                                  << ok << QStringList{QStringLiteral("stb 9|两杯茶|0|10.77.0.13")};
        QTest::newRow("DrinkMsg of wrong types") << QByteArray(R"({"Msg":"DrinkMsg","type":"9","content":5})") << ok
                                                 << QStringList{QStringLiteral("stb 0||0|")};
        QTest::newRow("SendMessage") << QByteArray(R"({"Msg":"SendMessage","data":{"type":"add"}})") << ok
                                     << QStringList{QStringLiteral(R"(subtitle {"type":"add"})")};
        QTest::newRow("SendMessage, subtitle.conf not written")
            << QByteArray(R"({"Msg":"SendMessage","data":{"cashier_push_id":3}})") << zero
            << QStringList{QStringLiteral(R"(subtitle {"cashier_push_id":3})")};
        QTest::newRow("EmpowerCode, number") << QByteArray(R"({"Msg":"EmpowerCode","unAccount":4021,"data":{}})")
                                             << QStringLiteral(R"({"relay":4021})")
                                             << QStringList{QStringLiteral("relay 4021")};
        QTest::newRow("EmpowerCode, string") << QByteArray(R"({"Msg":"EmpowerCode","unAccount":"4022"})")
                                             << QStringLiteral(R"({"relay":4022})")
                                             << QStringList{QStringLiteral("relay 4022")};
        QTest::newRow("EmpowerCode, no account") << QByteArray(R"({"Msg":"EmpowerCode","data":{}})") << zero << none;
        QTest::newRow("EmpowerCode, null account") << QByteArray(R"({"Msg":"EmpowerCode","unAccount":null})") << zero
                                                   << none;
        QTest::newRow("UpdateConfig without Update.conf") << QByteArray(R"({"Msg":"UpdateConfig","device":"3"})") << ok
                                                          << none;
        QTest::newRow("GetRoomArea before any SetRoomArea") << QByteArray(R"({"Msg":"GetRoomArea"})")
                                                            << QStringLiteral("{\n}\n") << none;
        QTest::newRow("PrinterStatus, no printer") << QByteArray(R"({"Msg":"PrinterStatus"})")
                                                   << QStringLiteral("{\"code\":200, \"data\":[\n]\n}") << none;
    }

    void answers()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, answer);
        QFETCH(QStringList, handOffs);
        m_app->subtitleSaves = !QByteArray(QTest::currentDataTag()).contains("not written");
        QCOMPARE(m_app->answerTo(body), answer);
        QCOMPARE(m_app->handOffs, handOffs);
        QVERIFY(m_app->jobs.isEmpty());
        QVERIFY(m_app->configuredPrinters.isEmpty());
        QVERIFY(!QFile::exists(appFile(QStringLiteral("Updater/Update.conf"))));
    }

    void printRequest_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("printer");
        QTest::addColumn<int>("left");
        QTest::addColumn<int>("width");

        QTest::newRow("only data") << QByteArray(R"({"data":"<p>1 茶</p>"})") << QStringLiteral(R"({"code":1})")
                                   << QString() << 0 << 0;
        QTest::newRow("empty Msg, installed printer")
            << QByteArray(R"({"Msg":"","data":"<p>x</p>","Name":"kitchen80","PrinterLeft":5,"Width":58})")
            << QStringLiteral(R"({"code":200})") << QStringLiteral("kitchen80") << 5 << 58;
        QTest::newRow("printer name in other case") << QByteArray(R"({"data":"<p>x</p>","Name":"Kitchen80","Width":58.5})")
                                               << QStringLiteral(R"({"code":1})") << QString() << 0 << 0;
        QTest::newRow("null members") << QByteArray(R"({"data":"x","Name":null,"PrinterLeft":null,"Width":"80"})")
                                      << QStringLiteral(R"({"code":1})") << QString() << 0 << 0;
    }

    void printRequest()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, answer);
        QFETCH(QString, printer);
        QFETCH(int, left);
        QFETCH(int, width);

        const qint64 before = Clock::system().epochMs();
        QCOMPARE(m_app->answerTo(body), answer);
        const qint64 after = Clock::system().epochMs();
        QCOMPARE(m_app->jobs.size(), 1);
        const PrintRecord &job = m_app->jobs.first();
        QCOMPARE(job.content, QJsonDocument::fromJson(body).object().value(QLatin1String("data")).toString());
        QCOMPARE(job.name, printer);
        QCOMPARE(job.printerLeft, left);
        QCOMPARE(job.width, width);
        QCOMPARE(job.height, 0);
        QVERIFY(job.logoPath.isNull());
        QVERIFY(job.receivedMs >= before && job.receivedMs <= after);

        // A full queue refuses the job: the caller hears {"code":0}.
        m_app->queueFull = true;
        QCOMPARE(m_app->answerTo(body), QStringLiteral(R"({"code":0})"));
        m_app->queueFull = false;
    }

    void printRequestWithoutContentQueuesNothing_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("no data") << QByteArray(R"({"Name":"kitchen80"})");
        QTest::newRow("empty data") << QByteArray(R"({"data":""})");
        QTest::newRow("data not a string") << QByteArray(R"({"data":{"html":"x"}})");
    }

    void printRequestWithoutContentQueuesNothing()
    {
        QFETCH(QByteArray, body);
        QCOMPARE(m_app->answerTo(body), QStringLiteral(R"({"code":1})"));
        QVERIFY(m_app->jobs.isEmpty());
    }

    // Only the first image is the logo; every occurrence of its address
    // points at the local copy.
    void logoReference_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("url");

        const QString logo = QStringLiteral("http://10.77.0.2/logo.png");
        QTest::newRow("two images") << QStringLiteral("<img  src=\"%1\"><p>%1</p><img  src=\"http://10.77.0.2/b.png\">")
                                           .arg(logo)
                                    << logo;
        QTest::newRow("one blank") << QStringLiteral("<img src=\"%1\">").arg(logo) << QString();
        QTest::newRow("unquoted") << QStringLiteral("<img  src=%1>").arg(logo) << QString();
        QTest::newRow("empty address") << QStringLiteral("<img  src=\"\"><p>x</p>") << QString();
        QTest::newRow("picture written in") << QStringLiteral("<img  src=\"DATA:image/png;base64,iVBORw0K\">") << QString();
        QTest::newRow("no closing quote") << QStringLiteral("<p>a</p><img  src=\"http://x/y.png") << QStringLiteral("http://x/y.png");
    }

    void logoReference()
    {
        QFETCH(QString, content);
        QFETCH(QString, url);
        QJsonObject request{{QStringLiteral("data"), content}};
        m_app->answerTo(QJsonDocument(request).toJson());
        QCOMPARE(m_app->jobs.size(), 1);
        const PrintRecord &job = m_app->jobs.first();
        if (url.isEmpty()) {
            QCOMPARE(job.content, content);
            QVERIFY(job.logoPath.isEmpty());
            return;
        }
        QVERIFY(job.logoPath.startsWith(appFile(QStringLiteral("image/"))));
        QVERIFY(job.logoPath.endsWith(QLatin1String(".png")));
        QString expected = content;
        QCOMPARE(job.content, expected.replace(url, job.logoPath));
        QVERIFY(!job.content.contains(url));
    }

    void settings_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QStringList>("configured");
        QTest::newRow("data as an object") << QByteArray(R"({"Msg":"Settings","data":{"Name":"kitchen80"}})")
                                           << QStringLiteral(R"({"code":0})") << false << QStringList();
        QTest::newRow("data missing") << QByteArray(R"({"Msg":"Settings"})") << QStringLiteral(R"({"code":0})") << false
                                      << QStringList();
        QTest::newRow("empty array") << QByteArray(R"({"Msg":"Settings","data":[]})")
                                     << QStringLiteral(R"({"code":200})") << true << QStringList();
        QTest::newRow("two printers")
            << QByteArray(R"({"Msg":"Settings","extra":1,"data":[{"Name":"receipt58","Width":58},{"Name":"kitchen80"}]})")
            << QStringLiteral(R"({"code":200})") << true << QStringList{"receipt58", "kitchen80"};
    }

    void settings()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, answer);
        QFETCH(bool, stored);
        QFETCH(QStringList, configured);
        const QString file = appFile(QStringLiteral("PrinterConfig.json"));
        const QByteArray earlier = "{\n    \"data\": [\n    ]\n}\n";
        writeFile(file, earlier);

        QCOMPARE(m_app->answerTo(body), answer);
        const QJsonObject request = QJsonDocument::fromJson(body).object();
        QCOMPARE(m_app->configuredPrinters, configured);
        if (!stored) {
            QCOMPARE(TestSupport::readAll(file), earlier);
            return;
        }
        QCOMPARE(TestSupport::readAll(file), QJsonDocument(request).toJson(QJsonDocument::Indented));
    }

    // A file that cannot be written still leaves the settings applied; the
    // failure is logged and answered.
    void settingsApplyWhenTheFileCannotBeWritten()
    {
        LogCapture log;
        log.mark();
        QVERIFY(QDir().mkpath(appFile(QStringLiteral("PrinterConfig.json"))));
        QCOMPARE(m_app->answerTo(R"({"Msg":"Settings","data":[{"Name":"kitchen80"}]})"),
                 QStringLiteral(R"({"code":0})"));
        QCOMPARE(m_app->configuredPrinters, QStringList{"kitchen80"});
        QCOMPARE(log.linesWith(QStringLiteral("] 打印机配置写失败,./PrinterConfig.json (")).size(), 1);
    }

    void roomAreaRoundTrip()
    {
        const QByteArray area = R"({"Msg":"SetRoomArea","zones":[{"name":"二楼","rooms":[201,202]}],"a":true})";
        QCOMPARE(m_app->answerTo(area), QStringLiteral(R"({"code":200})"));
        const QString expected = QString::fromUtf8(QJsonDocument::fromJson(area).toJson(QJsonDocument::Indented));
        QCOMPARE(m_app->answerTo(R"({"Msg":"GetRoomArea"})"), expected);
        QVERIFY(expected.startsWith(QLatin1String("{\n    \"Msg\": \"SetRoomArea\",\n    \"a\": true,")));

        // Edited beside the service, or removed: the next answer shows it.
        writeFile(appFile(QStringLiteral("RoomArea.json")), R"({"zones":[]})");
        QCOMPARE(m_app->answerTo(R"({"Msg":"GetRoomArea"})"), QStringLiteral("{\n    \"zones\": [\n    ]\n}\n"));
        QFile::remove(appFile(QStringLiteral("RoomArea.json")));
        QCOMPARE(m_app->answerTo(R"({"Msg":"GetRoomArea"})"), QStringLiteral("{\n}\n"));
    }

    // A rewrite that keeps the file's size and modification time (within one
    // time-stamp step, or by a copy that keeps time stamps) is still seen.
    void roomAreaRewriteWithTheSameStamp_data()
    {
        QTest::addColumn<bool>("outside");
        QTest::newRow("two SetRoomArea") << false;
        QTest::newRow("copied in keeping the time stamp") << true;
    }

    void roomAreaRewriteWithTheSameStamp()
    {
        QFETCH(bool, outside);
        const QString path = appFile(QStringLiteral("RoomArea.json"));
        const QByteArray first = R"({"Msg":"SetRoomArea","zone":"AAAA"})";
        const QByteArray second = R"({"Msg":"SetRoomArea","zone":"BBBB"})";
        // Whole seconds, so the stamp is put back exactly.
        const QDateTime stamp(QDate(2025, 6, 1), QTime(8, 0));
        const auto setStamp = [&path, &stamp] {
            QFile file(path);
            return file.open(QIODevice::ReadWrite) && file.setFileTime(stamp, QFileDevice::FileModificationTime);
        };
        QCOMPARE(m_app->answerTo(first), QStringLiteral(R"({"code":200})"));
        QVERIFY(setStamp());
        QVERIFY(m_app->answerTo(R"({"Msg":"GetRoomArea"})").contains(QLatin1String("AAAA")));
        const qint64 size = QFileInfo(path).size();

        if (outside)
            writeFile(path, QJsonDocument::fromJson(second).toJson(QJsonDocument::Indented));
        else
            QCOMPARE(m_app->answerTo(second), QStringLiteral(R"({"code":200})"));
        QVERIFY(setStamp());
        QCOMPARE(QFileInfo(path).size(), size);
        QCOMPARE(QFileInfo(path).lastModified(), stamp);

        QVERIFY(m_app->answerTo(R"({"Msg":"GetRoomArea"})").contains(QLatin1String("BBBB")));
    }

    void updateConfig_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("stored");
        QTest::addColumn<QVariantMap>("expected"); // members that must read so afterwards
        QTest::addColumn<bool>("updaterStarted");

        QTest::newRow("new device and version")
            << QByteArray(R"({"Msg":"UpdateConfig","device":"12","version":"7"})") << UpdateConf
            << QVariantMap{{"device", "12"}, {"version", "7"}, {"startTime", "200"}, {"url", "http://updates.invalid/check?x=1"}}
            << true;
        QTest::newRow("same device") << QByteArray(R"({"Msg":"UpdateConfig","device":"10","startTime":"900"})")
                                     << UpdateConf
                                     << QVariantMap{{"device", "10"}, {"version", "5"}, {"startTime", "900"}} << false;
        QTest::newRow("fixed device 66")
            << QByteArray(R"({"Msg":"UpdateConfig","device":"12","version":"7","startTime":"500"})")
            << QByteArray(UpdateConf).replace("\"10\"", "\"66\"")
            << QVariantMap{{"device", "66"}, {"version", "5"}, {"startTime", "500"}} << false;
        QTest::newRow("only startTime") << QByteArray(R"({"Msg":"UpdateConfig","startTime":"300","version":"9"})")
                                        << UpdateConf
                                        << QVariantMap{{"device", "10"}, {"version", "5"}, {"startTime", "300"}}
                                        << false;
        QTest::newRow("numbers become strings") << QByteArray(R"({"Msg":"UpdateConfig","device":11,"startTime":400})")
                                                << UpdateConf
                                                << QVariantMap{{"device", "11"}, {"startTime", "400"}} << true;
        QTest::newRow("empty file") << QByteArray(R"({"Msg":"UpdateConfig","device":"12"})") << QByteArray()
                                    << QVariantMap{} << false;
    }

    void updateConfig()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, stored);
        QFETCH(QVariantMap, expected);
        QFETCH(bool, updaterStarted);
        const QString file = appFile(QStringLiteral("Updater/Update.conf"));
        writeFile(file, stored);

        QCOMPARE(m_app->answerTo(request), QStringLiteral(R"({"code":200})"));
        QCOMPARE(m_app->handOffs.contains(QStringLiteral("updater")), updaterStarted);
        if (stored.isEmpty()) {
            QVERIFY(TestSupport::readAll(file).isEmpty());
            return;
        }
        const QJsonObject after = readObject(file);
        for (auto it = expected.constBegin(); it != expected.constEnd(); ++it)
            QCOMPARE(after.value(it.key()), QJsonValue(it.value().toString()));
        QCOMPARE(after.value(QLatin1String("name")).toString(), QStringLiteral("front desk"));
        QCOMPARE(after.size(), 7);
    }

private:
    QString appFile(const QString &name) const { return m_folder->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<RecordingTargets> m_app;
};

QTEST_GUILESS_MAIN(tst_CommandDispatch)

#include "tst_CommandDispatch.moc"
