#pragma once

#include <QJsonObject>

// The service's part in the updater's Update.conf: the cashier application
// tells which device (and version) this installation is.
namespace UpdateConfig {

// Applies an "UpdateConfig" request to the stored Update.conf object: a new
// device (with its version) unless the stored device is the fixed "66", and
// always a given startTime. True when the device changed.
bool mergeRequest(QJsonObject &stored, const QJsonObject &request);

} // namespace UpdateConfig
