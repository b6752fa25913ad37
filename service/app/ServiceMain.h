#pragma once

#include <memory>

// The whole start of the service: quit request, single-instance test,
// application object, log writers, window, event loop and teardown.
int korvelMain(int argc, char **argv);

// The service's QML files and images live in its library; programs and
// tests that load them call this once.
void initKorvelResources();
