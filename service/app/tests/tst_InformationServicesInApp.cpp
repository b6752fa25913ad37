// The application object creates the set-top-box link, which then speaks with
// the addresses the application found for the venue's network.

#include "service/app/MainApp.h"
#include "service/stb/InformationServices.h"
#include "tests/support/FakeVenue.h"
#include "tests/support/TestSupport.h"

#include <QtTest>

class tst_InformationServicesInApp : public QObject
{
    Q_OBJECT

private slots:
    void usesTheApplicationsAddresses();
};

void tst_InformationServicesInApp::usesTheApplicationsAddresses()
{
    KORVEL_REQUIRE_HARNESS();
    auto *app = qobject_cast<CMainApp *>(QCoreApplication::instance());
    QVERIFY(app);
    CInformationServices *service = app->informationServices();
    QVERIFY(service);
    QCOMPARE(service->boundPort(), quint16(19262));
    QCOMPARE(app->getBroadcast(), FakeVenue::broadcastAddress());

    FakeVenue venue;
    QVERIFY(venue.start());
    service->sendStbMsg(6, QString(), 1, QString());
    QVERIFY(venue.settle(18108));
    const auto sent = venue.datagrams(FakeVenue::serviceAddress(), 18108);
    QCOMPARE(sent.size(), 2);
    QCOMPARE(sent.first().destination, FakeVenue::broadcastAddress());
    QVERIFY(sent.first().data.contains("\"clientIP\": \"" + FakeVenue::serviceAddress().toUtf8() + "\""));
}

int main(int argc, char **argv)
{
    if (!TestSupport::inHarness()) {
        // Without the harness the application would join groups on the real LAN.
        QCoreApplication app(argc, argv);
        tst_InformationServicesInApp test;
        return QTest::qExec(&test, argc, argv);
    }
    CMainApp app(argc, argv);
    tst_InformationServicesInApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_InformationServicesInApp.moc"
