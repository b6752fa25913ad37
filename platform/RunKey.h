#pragma once

#include <QString>

// The current user's list of programs started at logon: named values, each
// holding a program path. The service adds its own value and the cleaner
// removes it. Kept as an INI file in the user's configuration folder
// ($XDG_CONFIG_HOME, else ~/.config); tests may pass another file.
class RunKey
{
public:
    explicit RunKey(const QString &filePath = defaultFilePath());

    static QString defaultFilePath();
    QString filePath() const { return m_filePath; }

    // The value's data, or an empty string when there is no such value.
    QString value(const QString &name) const;
    void setValue(const QString &name, const QString &data);
    // Nothing happens when the value is absent.
    void remove(const QString &name);

private:
    QString m_filePath;
};
