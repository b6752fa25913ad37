#pragma once

// What the command dispatcher asks of the update coordinator.
class UpdaterLauncher
{
public:
    virtual ~UpdaterLauncher() = default;

    // Starts the updater, if there is one, and watches for it to end.
    virtual void startUpdater() = 0;
};
