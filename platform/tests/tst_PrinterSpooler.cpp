// The spooler's printer list against the harness's private CUPS scheduler.

#include "platform/PrinterSpooler.h"
#include "tests/support/TestSupport.h"

#include <QProcess>
#include <QTest>

namespace {

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString defaultDestination()
{
    QProcess process;
    process.start(QStringLiteral("lpstat"), {QStringLiteral("-d")});
    process.waitForFinished(20000);
    const QString text = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? QString() : text.mid(colon + 1).trimmed();
}

bool find(const QString &name, PrinterSpooler::Printer *found)
{
    QList<PrinterSpooler::Printer> printers;
    if (!PrinterSpooler::listPrinters(&printers))
        return false;
    for (const PrinterSpooler::Printer &printer : printers) {
        if (printer.name == name) {
            *found = printer;
            return true;
        }
    }
    return false;
}

const QString Queue = QStringLiteral("spoolertest");

} // namespace

class tst_PrinterSpooler : public QObject
{
    Q_OBJECT

private slots:
    void usbPort_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("usb");
        QTest::newRow("usb URI") << QStringLiteral("usb://Maker/Model?serial=1") << true;
        QTest::newRow("upper-case scheme") << QStringLiteral("USB://Maker/Model") << true;
        QTest::newRow("socket") << QStringLiteral("socket://10.77.0.2:9100") << false;
        QTest::newRow("file") << QStringLiteral("file:///dev/null") << false;
        QTest::newRow("usb in the path") << QStringLiteral("ipp://host/usb/printer") << false;
        QTest::newRow("empty") << QString() << false;
    }

    void usbPort()
    {
        QFETCH(QString, port);
        QFETCH(bool, usb);
        QCOMPARE(PrinterSpooler::isUsbPort(port), usb);
    }

    // Each queue state maps onto the flags the PrinterStatus command reads.
    void queueStates_data()
    {
        QTest::addColumn<QStringList>("commands"); // applied to the new, enabled and accepting queue
        QTest::addColumn<quint32>("attributes");
        QTest::addColumn<quint32>("status");
        QTest::newRow("ready") << QStringList() << quint32(0) << quint32(0);
        QTest::newRow("stopped") << QStringList{QStringLiteral("cupsdisable")} << quint32(0)
                                 << quint32(PrinterSpooler::StatusOffline);
        QTest::newRow("refusing jobs") << QStringList{QStringLiteral("cupsreject")}
                                       << quint32(PrinterSpooler::AttributeWorkOffline) << quint32(0);
        QTest::newRow("both") << QStringList{QStringLiteral("cupsdisable"), QStringLiteral("cupsreject")}
                              << quint32(PrinterSpooler::AttributeWorkOffline)
                              << quint32(PrinterSpooler::StatusOffline);
    }

    void queueStates()
    {
        KORVEL_REQUIRE_HARNESS();
        QFETCH(QStringList, commands);
        QFETCH(quint32, attributes);
        QFETCH(quint32, status);
        QVERIFY(run(QStringLiteral("lpadmin"), {"-p", Queue, "-E", "-v", "usb://Test/Spooler"}));
        for (const QString &command : commands)
            QVERIFY(run(command, {Queue}));

        PrinterSpooler::Printer printer;
        QVERIFY(find(Queue, &printer));
        QCOMPARE(printer.port, QStringLiteral("usb://Test/Spooler"));
        QCOMPARE(printer.attributes, attributes);
        QCOMPARE(printer.status, status);
    }

    void defaultFlagFollowsTheDefaultDestination()
    {
        KORVEL_REQUIRE_HARNESS();
        const QString earlier = defaultDestination();
        QVERIFY(!earlier.isEmpty());
        QVERIFY(run(QStringLiteral("lpadmin"), {"-p", Queue, "-E", "-v", "file:///dev/null"}));

        PrinterSpooler::Printer printer;
        QVERIFY(find(earlier, &printer));
        QVERIFY(printer.attributes & PrinterSpooler::AttributeDefault);
        QVERIFY(find(Queue, &printer));
        QVERIFY(!(printer.attributes & PrinterSpooler::AttributeDefault));

        QVERIFY(run(QStringLiteral("lpadmin"), {"-d", Queue}));
        QVERIFY(find(Queue, &printer));
        const bool queueIsDefault = printer.attributes & PrinterSpooler::AttributeDefault;
        QVERIFY(find(earlier, &printer));
        const bool earlierIsDefault = printer.attributes & PrinterSpooler::AttributeDefault;
        QVERIFY(run(QStringLiteral("lpadmin"), {"-d", earlier}));
        QVERIFY(queueIsDefault);
        QVERIFY(!earlierIsDefault);
    }

    void cleanup()
    {
        if (TestSupport::inHarness())
            run(QStringLiteral("lpadmin"), {"-x", Queue});
    }
};

QTEST_GUILESS_MAIN(tst_PrinterSpooler)

#include "tst_PrinterSpooler.moc"
