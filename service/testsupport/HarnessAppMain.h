#pragma once

#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QtTest>

#include <memory>

// main() of a test whose cases need the service's application object (or a
// GUI application). That object starts threads and sockets and opens the
// display, so it is built only inside the harness; elsewhere a plain core
// application stands in and every case skips itself.
template <typename HarnessApp, typename TestObject>
int runWithHarnessApp(int argc, char **argv)
{
    std::unique_ptr<QCoreApplication> app;
    if (TestSupport::inHarness())
        app = std::make_unique<HarnessApp>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
    TestObject test;
    return QTest::qExec(&test, argc, argv);
}
