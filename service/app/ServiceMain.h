#pragma once

#include <memory>

class EventDispatcher;
class QObject;

// The whole start of the service: quit request, single-instance test,
// application object, log writers, window, event loop and teardown.
int korvelMain(int argc, char **argv);

// The service's QML files and images live in its library; programs and
// tests that load them call this once.
void initKorvelResources();

// The service's own event loop, installed before the application object is
// made; null when the system refused it, and Qt's own loop runs instead.
EventDispatcher *installServiceEventLoop();
// Once the application object exists: the window system's share of each
// turn of that loop.
void attachWindowSystem(EventDispatcher *loop, QObject *application);
