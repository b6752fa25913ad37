#pragma once

#include <QString>

class RunKey;

// The two ways the service has itself started at logon: a value in the
// user's Run list, and a shortcut in the user's startup folder.
class CAutoStart
{
public:
    // The value's name is the program's file name up to the first dot, its
    // data the program's absolute path in native form.
    static QString runValueName(const QString &programPath);
    static QString runValueData(const QString &programPath);

    // Writes the value only when it differs; removes it when disabled.
    static void setAutoStart(RunKey &runKey, const QString &programPath, bool enable);
    // True when the value exists and names this program exactly.
    static bool isAutoStart(const RunKey &runKey, const QString &programPath);

    // The shortcut is named after the program's file name without its last
    // extension.
    static QString shortcutPath(const QString &startupFolder, const QString &programPath);
    // Creates (creating the startup folder if needed) or deletes the
    // program's startup shortcut.
    static bool setStartupShortcut(const QString &programPath, bool open);
};
