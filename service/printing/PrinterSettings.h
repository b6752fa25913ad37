#pragma once

#include "service/printing/PrintRecord.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QVector>

class CPrinterJson;

// Printer layout settings as the cashier application sends them and as
// PrinterConfig.json keeps them: an array of {"Name", "PrinterLeft",
// "Width", "Height"} objects.
namespace PrinterSettings {

// File beside the program holding the last accepted settings command.
inline const char ConfigFile[] = "./PrinterConfig.json";

// One record per element, in order. A single record is carried through the
// array, so a member an element lacks keeps the previous element's value
// (an element without "Name" updates the previous element's printer).
QVector<PrintRecord> parse(const QJsonArray &data);

// The "data" array of a settings object; false when there is none.
bool settingsData(const QJsonObject &settings, QJsonArray *data);

} // namespace PrinterSettings
