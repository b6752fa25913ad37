// subtitle.conf as the cashier and another program see it: a SendMessage
// answer comes only once the file holds the change, a burst shares its
// writes, a full disk is answered and caught up on, and a reader never sees
// an empty or partial file.

#include "common/PrinterJson.h"
#include "service/log/LogFacility.h"
#include "service/http/CommandDispatcher.h"
#include "service/http/CommandServer.h"
#include "service/stb/InformationServices.h"
#include "service/testsupport/LogCapture.h"
#include "service/testsupport/SubtitleStack.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QScopeGuard>
#include <QSet>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include <sys/mount.h>

namespace {

// Reads the file over and over on its own thread, as an outside reader would.
class PollingReader : public QThread
{
public:
    explicit PollingReader(const QString &path) : m_path(path) {}

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    QList<QByteArray> broken; // read only after the thread has ended

protected:
    void run() override
    {
        while (!stop) {
            QFile file(m_path);
            if (!file.open(QIODevice::ReadOnly))
                continue; // not written yet
            const QByteArray bytes = file.readAll();
            ++reads;
            if (bytes.isEmpty() || !QJsonDocument::fromJson(bytes).object().value("list").isArray())
                broken.append(bytes.left(200));
        }
    }

private:
    QString m_path;
};

QJsonObject push(int id, const QString &remark = QStringLiteral("m"))
{
    return {{"remark", remark}, {"count", 5}, {"intervalTime", 60}, {"cashier_push_id", id}, {"time", QString::number(1000 + id)}};
}

QByteArray sendMessage(const QJsonObject &data)
{
    return QJsonDocument(QJsonObject{{"Msg", "SendMessage"}, {"data", data}}).toJson(QJsonDocument::Compact);
}

// The subtitle stack, and what its file holds.
struct SubtitleService : SubtitleStack
{
    using SubtitleStack::SubtitleStack;

    // Ids in the file, or -1 for each element when it is missing.
    QList<int> idsInFile() const
    {
        QList<int> ids;
        for (const QJsonValue &msg : store.readJson("./subtitle.conf").value("list").toArray())
            ids.append(msg.toObject().value("cashier_push_id").toString().toInt());
        return ids;
    }

};

struct Answered
{
    QString text;
    QList<int> idsInFile; // as the file was when the answer went out
};

} // namespace

class tst_SubtitleFile : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The information service binds the venue's UDP port.
        KORVEL_REQUIRE_HARNESS();
        m_log.emplace();
    }

    void answeredOnlyOnceSaved_data()
    {
        QTest::addColumn<QList<QJsonObject>>("commands"); // all in one event-loop turn
        QTest::addColumn<QList<int>>("idsInFile");
        QTest::addColumn<bool>("fileWritten");

        QList<QJsonObject> fifty;
        QList<int> fiftyIds;
        for (int id = 1; id <= 50; ++id) {
            fifty.append(push(id));
            fiftyIds.append(id);
        }
        QTest::newRow("one push") << QList<QJsonObject>{push(1)} << QList<int>{1} << true;
        QTest::newRow("fifty pushes share one write") << fifty << fiftyIds << true;
        QTest::newRow("a push and its deletion")
            << QList<QJsonObject>{push(1), push(2), QJsonObject{{"delete", 1}, {"cashier_push_id", 1}}} << QList<int>{2}
            << true;
        QTest::newRow("the same push twice") << QList<QJsonObject>{push(4), push(4)} << QList<int>{4} << true;
        QTest::newRow("deletion of an unknown id")
            << QList<QJsonObject>{QJsonObject{{"delete", 1}, {"cashier_push_id", 99}}} << QList<int>{} << true;
        QTest::newRow("one-off message, never in the file")
            << QList<QJsonObject>{QJsonObject{{"remark", "now"}, {"count", 2}}} << QList<int>{} << false;
    }

    void answeredOnlyOnceSaved()
    {
        QFETCH(QList<QJsonObject>, commands);
        QFETCH(QList<int>, idsInFile);
        QFETCH(bool, fileWritten);
        QTemporaryDir dir;
        SubtitleService s(dir.path());

        std::vector<std::optional<Answered>> answers(commands.size());
        for (int i = 0; i < commands.size(); ++i) {
            s.dispatcher->dispatchCommand(sendMessage(commands.at(i)), [&answers, &s, i](const QString &text) {
                answers[size_t(i)] = Answered{text, s.idsInFile()};
            });
        }
        // Not before the end of the turn: the answers wait for the write.
        for (const auto &answer : answers)
            QVERIFY(!answer);
        QTRY_VERIFY(answers.back().has_value());
        for (const auto &answer : answers) {
            QVERIFY(answer);
            QCOMPARE(answer->text, QStringLiteral(R"({"code":200})"));
            QCOMPARE(answer->idsInFile, idsInFile);
        }
        QCOMPARE(s.service->subtitleWrites(), quint64(fileWritten ? 1 : 0));
        QCOMPARE(QFile::exists(dir.filePath("subtitle.conf")), fileWritten);
    }

    // The list in memory wins: what could not be written is answered
    // {"code":0}, stays scheduled, and reaches the file at the next pass
    // after space is back.
    void fullDiskIsAnsweredAndCaughtUp()
    {
        QTemporaryDir dir;
        QVERIFY(::mount("tmpfs", QFile::encodeName(dir.path()).constData(), "tmpfs", 0, "size=16k") == 0);
        auto unmount = qScopeGuard([&dir] { ::umount2(QFile::encodeName(dir.path()).constData(), MNT_DETACH); });
        SubtitleService s(dir.path());
        QCOMPARE(answerTo(s, push(1)), QStringLiteral(R"({"code":200})"));

        QFile filler(dir.filePath("filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(1024, 'f')) == 1024 && filler.flush()) {
        }
        filler.close();
        m_log->mark();
        const QString longRemark(2000, QChar(0x5B57));
        QCOMPARE(answerTo(s, push(2, longRemark)), QStringLiteral(R"({"code":0})"));
        // Nothing of this push is promised, but neither is the one after it
        // while the file is behind.
        QCOMPARE(answerTo(s, QJsonObject{{"remark", "now"}, {"count", 1}}), QStringLiteral(R"({"code":0})"));
        QCOMPARE(s.idsInFile(), QList<int>{1});
        QCOMPARE(s.service->subtitleList().size(), 3);
        QCOMPARE(m_log->linesWith(QStringLiteral("字幕消息写入subtitle.conf失败")).size(), 1);

        QVERIFY(filler.remove());
        s.service->onSendMsg();
        QCOMPARE(s.idsInFile(), (QList<int>{1, 2, 0}));
        QCOMPARE(m_log->linesWith(QStringLiteral("字幕消息已写入subtitle.conf")).size(), 1);
        QCOMPARE(answerTo(s, QJsonObject{{"delete", 2}}), QStringLiteral(R"({"code":200})"));
        QCOMPARE(s.idsInFile(), QList<int>{});
    }

    // Pushes pipelined on one connection are handed over together, so a
    // run of them costs a write per turn, not one per push.
    void pipelinedPushesShareWrites()
    {
        QTemporaryDir dir;
        SubtitleService s(dir.path());
        CommandServer server([&s](const QByteArray &body, const CommandServer::Answer &answer) {
            s.dispatcher->dispatchCommand(body, answer);
        });
        QVERIFY(server.listen(0));
        const int pushes = 64;
        QByteArray requests;
        QList<int> ids;
        for (int id = 1; id <= pushes; ++id) {
            requests += post(sendMessage(push(id)));
            ids.append(id);
        }
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), server.serverPort());
        QVERIFY(socket.waitForConnected(5000));
        socket.write(requests);
        const QByteArray ok = R"({"code":200})";
        QTRY_COMPARE_WITH_TIMEOUT(socket.peek(1 << 20).count(ok), pushes, 20000);
        QCOMPARE(s.idsInFile(), ids);
        const quint64 turns = pushes / CommandServer::Limits().requestsPerTurn;
        QVERIFY2(s.service->subtitleWrites() <= 2 * turns, qPrintable(QString::number(s.service->subtitleWrites())));
    }

    void readerNeverSeesAPartialFile()
    {
        QTemporaryDir dir;
        SubtitleService s(dir.path());
        PollingReader reader(dir.filePath("subtitle.conf"));
        reader.start();
        const QString remark(400, QChar(0x5B57)); // a long text, so every write takes a while
        const int commands = 200;
        for (int id = 1; id <= commands; ++id)
            QCOMPARE(answerTo(s, push(id, remark)), QStringLiteral(R"({"code":200})"));
        QTRY_VERIFY(reader.reads > commands);
        reader.stop = true;
        QVERIFY(reader.wait(10000));

        QVERIFY2(reader.broken.isEmpty(), reader.broken.value(0).constData());
        QCOMPARE(s.idsInFile().size(), commands);
    }

    // The real program, killed the moment the last of its answers has
    // arrived: every answered push and deletion is in the file.
    void killAfterAnswerLosesNothing()
    {
        QTemporaryDir dir;
        const QString program = TestSupport::copyProgram(TestSupport::builtProgram("service/Korvel"), dir.path());
        QVERIFY(!program.isEmpty());
        QProcess service;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("tmp"))));
        environment.insert(QStringLiteral("TMPDIR"), dir.filePath(QStringLiteral("tmp")));
        if (!environment.contains(QStringLiteral("DISPLAY")))
            environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        service.setProcessEnvironment(environment);
        service.setProcessChannelMode(QProcess::ForwardedChannels);
        service.start(program, QStringList());
        QVERIFY(service.waitForStarted());
        const auto listening = [] {
            QTcpSocket probe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), 12380);
            return probe.waitForConnected(200);
        };
        QTRY_VERIFY_WITH_TIMEOUT(listening(), 20000);

        // Five cashiers, each with ten pipelined pushes; the last of each
        // deletes its second push again.
        const int cashiers = 5;
        const int perCashier = 10;
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        QSet<int> expected;
        for (int c = 0; c < cashiers; ++c) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            QTcpSocket &socket = *sockets.back();
            socket.connectToHost(QStringLiteral("127.0.0.1"), 12380);
            QVERIFY(socket.waitForConnected(5000));
            QByteArray requests;
            for (int n = 1; n < perCashier; ++n) {
                const int id = c * 100 + n;
                requests += post(sendMessage(push(id)));
                if (n != 2)
                    expected.insert(id);
            }
            requests += post(sendMessage(QJsonObject{{"delete", 1}, {"cashier_push_id", c * 100 + 2}}));
            socket.write(requests);
        }
        const QByteArray ok = R"({"code":200})";
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(sockets.begin(), sockets.end(),
                                             [&](const auto &socket) {
                                                 return socket->peek(1 << 20).count(ok) == perCashier;
                                             }),
                                 20000);
        service.kill();
        QVERIFY(service.waitForFinished(10000));

        CPrinterJson store(dir.path());
        QSet<int> saved;
        for (const QJsonValue &msg : store.readJson("./subtitle.conf").value("list").toArray())
            saved.insert(msg.toObject().value("cashier_push_id").toString().toInt());
        QCOMPARE(saved, expected);
    }

private:
    static QString answerTo(SubtitleService &s, const QJsonObject &data)
    {
        QString answer;
        s.dispatcher->dispatchCommand(sendMessage(data), [&answer](const QString &text) { answer = text; });
        if (!QTest::qWaitFor([&answer] { return !answer.isNull(); }, 5000))
            return QStringLiteral("no answer");
        return answer;
    }

    static QByteArray post(const QByteArray &body)
    {
        return "POST / HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
            + "\r\n\r\n" + body;
    }

    std::optional<LogCapture> m_log;
};

int main(int argc, char **argv)
{
    if (!TestSupport::enterOwnMountNamespace())
        return 2;
    QCoreApplication app(argc, argv);
    tst_SubtitleFile test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_subtitlefile.moc"
