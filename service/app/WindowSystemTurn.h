#pragma once

#include "platform/EventDispatcher.h"

class QObject;

// The window system's share of a turn of the service's own event loop. The
// platform plugin delivers what it queued (the X server's events read by its
// reader thread, expose and screen changes) from inside its own event loop;
// that loop is kept, never waited in, and run once per turn without
// waiting. It lives as long as owner, the application object.
class WindowSystemTurn
{
public:
    static EventDispatcher::TurnHook create(QObject *owner);
};
