// subtitle.conf as another program sees it while SendMessage commands keep
// rewriting it: always a whole file, never an empty or partial one.

#include "common/PrinterJson.h"
#include "service/log/LogFacility.h"
#include "service/http/CommandDispatcher.h"
#include "service/stb/InformationServices.h"
#include "service/testsupport/RecordingTargets.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>

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

} // namespace

class tst_SubtitleFile : public QObject
{
    Q_OBJECT

private slots:
    void readerNeverSeesAPartialFile()
    {
        // The information service binds the venue's UDP port.
        KORVEL_REQUIRE_HARNESS();
        QTemporaryDir dir;
        initLogDirectory(dir.path());
        CPrinterJson store(dir.path());
        CInformationServices::Context context;
        context.readJsonFile = [&store](const QString &name) { return store.readJson(name); };
        context.writeJsonFile = [&store](const QJsonObject &object, const QString &name) {
            return store.writeJson(object, name);
        };
        CInformationServices service(context);
        RecordingTargets others(dir.path());
        CommandDispatcher dispatcher({others, others, store, service, others, others});

        PollingReader reader(dir.filePath("subtitle.conf"));
        reader.start();
        const QString remark(400, QChar(0x5B57)); // a long text, so every write takes a while
        const int commands = 200;
        for (int id = 1; id <= commands; ++id) {
            const QJsonObject data{{"remark", remark}, {"count", 5}, {"intervalTime", 60}, {"cashier_push_id", id},
                                   {"time", QString::number(1000 + id)}};
            const QJsonObject command{{"Msg", "SendMessage"}, {"data", data}};
            QString answer;
            dispatcher.dispatchCommand(QJsonDocument(command).toJson(), [&answer](const QString &text) { answer = text; });
            QCOMPARE(answer, QStringLiteral(R"({"code":200})"));
        }
        QTRY_VERIFY(reader.reads > commands);
        reader.stop = true;
        QVERIFY(reader.wait(10000));

        QVERIFY2(reader.broken.isEmpty(), reader.broken.value(0).constData());
        QCOMPARE(store.readJson("./subtitle.conf").value("list").toArray().size(), commands);
    }
};

QTEST_GUILESS_MAIN(tst_SubtitleFile)
#include "tst_subtitlefile.moc"
