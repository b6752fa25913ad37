// The printer list of the PrinterStatus command from the harness's CUPS.

#include "service/printing/InstalledPrinters.h"
#include "service/printing/PrinterCache.h"
#include "tests/support/TestSupport.h"

#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

namespace {

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString listed(const CInstalledPrinters &printers)
{
    return QString::fromUtf8(QJsonDocument(printers.printerList()).toJson(QJsonDocument::Indented));
}

} // namespace

class tst_InstalledPrinters : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { KORVEL_REQUIRE_HARNESS(); }

    // USB printers that are off line are not offered; network printers are,
    // whatever the spooler says about them.
    void offlineUsbPrintersAreNotListed()
    {
        QVERIFY(run(QStringLiteral("lpadmin"), {"-p", "statususb", "-E", "-v", "usb://Test/Status"}));
        QVERIFY(run(QStringLiteral("lpadmin"), {"-p", "statusnet", "-E", "-v", "socket://10.77.0.2:9100"}));
        QVERIFY(run(QStringLiteral("cupsdisable"), {"statusnet"}));
        QVERIFY(run(QStringLiteral("cupsreject"), {"statusnet"}));

        PrinterCache cache;
        cache.start();
        const CInstalledPrinters printers(cache);
        // The list is refreshed in the background: a change shows soon, not at once.
        QTRY_VERIFY(listed(printers).contains(QLatin1String("\"statususb\"")));
        const QString data = listed(printers);
        QVERIFY(data.contains(QLatin1String(
            "    {\n        \"default\": 1,\n        \"name\": \"receipt58\",\n        \"state\": \"Online\"\n    }")));
        QVERIFY(data.contains(QLatin1String("\"default\": 0,\n        \"name\": \"statusnet\",\n        \"state\": \"Online\"")));
        QVERIFY(data.contains(QLatin1String("\"statususb\"")));
        QVERIFY(printers.installedPrinterNames().contains(QStringLiteral("statususb")));

        QVERIFY(run(QStringLiteral("cupsdisable"), {"statususb"}));
        QTRY_VERIFY(!listed(printers).contains(QLatin1String("\"statususb\"")));
        QVERIFY(run(QStringLiteral("cupsenable"), {"statususb"}));
        QTRY_VERIFY(listed(printers).contains(QLatin1String("\"statususb\"")));
        QVERIFY(run(QStringLiteral("cupsreject"), {"statususb"}));
        QTRY_VERIFY(!listed(printers).contains(QLatin1String("\"statususb\"")));

        run(QStringLiteral("lpadmin"), {"-x", "statususb"});
        run(QStringLiteral("lpadmin"), {"-x", "statusnet"});
    }
};

QTEST_MAIN(tst_InstalledPrinters)
#include "tst_installedprinters.moc"
