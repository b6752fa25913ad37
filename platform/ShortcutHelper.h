#pragma once

#include <QString>

// Shortcuts in the current user's startup folder, which the desktop runs at
// logon. Here the startup folder is the XDG autostart folder and a shortcut
// is a desktop entry (".desktop") whose Exec line runs the target.
class ShortcutHelper
{
public:
    // File name extension of a shortcut, dot included.
    static QString shortcutExtension() { return QStringLiteral(".desktop"); }

    // $XDG_CONFIG_HOME/autostart, else ~/.config/autostart; an empty string
    // (with a debug message) when neither is known.
    static QString startupFolder();

    // Writes a shortcut at linkPath that runs target with the given
    // arguments (a command line fragment, may be empty).
    static bool createShortcut(const QString &target, const QString &linkPath,
                               const QString &arguments = QString());

    // False without a message when linkPath is missing or a folder.
    static bool deleteShortcut(const QString &linkPath);

    // The program a shortcut runs (the first word of its Exec line, quoting
    // undone), or an empty string when linkPath holds no such line.
    static QString shortcutTarget(const QString &linkPath);
};
