#include "service/app/MainApp.h"
#include "service/printing/PrinterManager.h"
#include "service/printing/PrinterQueue.h"
#include "service/printing/PrinterSettings.h"
#include "service/testsupport/HarnessAppMain.h"
#include "tests/support/TestSupport.h"

#include <QFile>
#include <QJsonDocument>
#include <QtTest>

#include <memory>

namespace {

// "name:printerLeft:width:height" per record, joined by "|".
QString describe(const QVector<PrintRecord> &records)
{
    QStringList parts;
    for (const PrintRecord &record : records)
        parts << QStringLiteral("%1:%2:%3:%4").arg(record.name).arg(record.printerLeft).arg(record.width).arg(record.height);
    return parts.join(QLatin1Char('|'));
}

} // namespace

class TestPrinterSettings : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void loadAtStartUp_data();
    void loadAtStartUp();
};

void TestPrinterSettings::parse_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("records");

    QTest::newRow("58 mm printer") << QByteArray(R"([{"Name":"receipt58","PrinterLeft":5,"Width":58,"Height":0}])")
                                   << "receipt58:5:58:0";
    QTest::newRow("missing members keep the previous values")
        << QByteArray(R"([{"Name":"a","PrinterLeft":3,"Width":58},{"Name":"b","Height":100}])")
        << "a:3:58:0|b:3:58:100";
    QTest::newRow("no name updates the previous printer")
        << QByteArray(R"([{"Name":"a","Width":58},{"Name":7,"Width":80},{"Width":76}])") << "a:0:58:0|a:0:80:0|a:0:76:0";
    QTest::newRow("non-integral values give 0")
        << QByteArray(R"([{"Name":"a","PrinterLeft":4,"Width":58,"Height":9},{"PrinterLeft":"5","Width":58.5,"Height":null}])")
        << "a:4:58:9|a:0:0:0";
    QTest::newRow("booleans and huge numbers give 0")
        << QByteArray(R"([{"Name":"a","PrinterLeft":true,"Width":1e12,"Height":-3}])") << "a:0:0:-3";
    QTest::newRow("first element without name, non-object element")
        << QByteArray(R"([{"Width":80},5])") << ":0:80:0|:0:80:0";
    QTest::newRow("empty") << QByteArray("[]") << QString();
}

void TestPrinterSettings::parse()
{
    QFETCH(QByteArray, data);
    QFETCH(QString, records);
    const QJsonDocument document = QJsonDocument::fromJson(data);
    QVERIFY(document.isArray());
    QCOMPARE(describe(PrinterSettings::parse(document.array())), records);
}

void TestPrinterSettings::loadAtStartUp_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("printer");
    QTest::addColumn<bool>("applied");

    QTest::newRow("stored settings command")
        << QByteArray(R"({"Msg":"Settings","data":[{"Name":"stored","PrinterLeft":5,"Width":58,"Height":0}]})")
        << "stored" << true;
    QTest::newRow("data not an array")
        << QByteArray(R"({"data":{"Name":"object","PrinterLeft":5,"Width":58,"Height":0}})") << "object" << false;
}

// The application object reads PrinterConfig.json beside the program into
// the renderer's table, through the same path the settings command uses.
void TestPrinterSettings::loadAtStartUp()
{
    KORVEL_REQUIRE_HARNESS();
    QFETCH(QByteArray, file);
    QFETCH(QString, printer);
    QFETCH(bool, applied);

    auto *app = qobject_cast<CMainApp *>(qApp);
    QVERIFY(app);
    QFile config(QCoreApplication::applicationDirPath() + QStringLiteral("/PrinterConfig.json"));
    QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
    config.write(file);
    config.close();
    app->loadPrinterConfig();
    config.remove();

    const auto entry = app->printerQueue()->renderer()->printerConfig(printer);
    QCOMPARE(bool(entry), applied);
    if (applied)
        QCOMPARE(QStringLiteral("%1:%2:%3").arg(entry->printerLeft).arg(entry->width).arg(entry->height),
                 QStringLiteral("5:58:0"));
}

int main(int argc, char **argv)
{
    return runWithHarnessApp<CMainApp, TestPrinterSettings>(argc, argv);
}

#include "tst_printersettings.moc"
