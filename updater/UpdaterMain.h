#pragma once

// The program entry of the updater: one instance at a time, the progress
// window, the event loop.
int updaterMain(int argc, char **argv);

// The updater's QML lives in its library; programs and tests that load it
// call this once.
void initUpdaterResources();
