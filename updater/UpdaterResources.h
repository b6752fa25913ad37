#pragma once

// The updater's QML lives in its library; programs and tests that load it
// call this once.
void initUpdaterResources();
