#include "platform/ShortcutHelper.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <pwd.h>
#include <unistd.h>

namespace {

QString homeFolder()
{
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty())
        return home;
    if (const passwd *entry = ::getpwuid(::getuid()))
        return QFile::decodeName(entry->pw_dir);
    return QString();
}

// One argument of an Exec line: quoted, with the characters that quoting
// reserves escaped by a backslash.
QString quotedArgument(const QString &argument)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    return quoted + QLatin1Char('"');
}

// A desktop entry value: backslashes and control characters escaped, and
// '%' doubled so that the Exec line carries no field codes.
QString entryValue(QString value, bool isExec)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    value.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    value.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    if (isExec)
        value.replace(QLatin1Char('%'), QLatin1String("%%"));
    return value;
}

// Undoes entryValue's escapes of a desktop entry value (\s is a blank).
QString unescapedValue(const QString &value)
{
    QString plain;
    for (int i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            plain += c;
            continue;
        }
        const QChar next = value.at(++i);
        if (next == QLatin1Char('s'))
            plain += QLatin1Char(' ');
        else if (next == QLatin1Char('n'))
            plain += QLatin1Char('\n');
        else if (next == QLatin1Char('t'))
            plain += QLatin1Char('\t');
        else if (next == QLatin1Char('r'))
            plain += QLatin1Char('\r');
        else
            plain += next;
    }
    return plain;
}

// The first argument of an Exec line, quoted as quotedArgument quotes it or
// ending at the first blank.
QString firstArgument(const QString &exec)
{
    const QString line = exec.trimmed();
    QString argument;
    if (!line.startsWith(QLatin1Char('"'))) {
        argument = line.section(QLatin1Char(' '), 0, 0);
    } else {
        for (int i = 1; i < line.size() && line.at(i) != QLatin1Char('"'); ++i) {
            if (line.at(i) == QLatin1Char('\\') && i + 1 < line.size())
                ++i;
            argument += line.at(i);
        }
    }
    return argument.replace(QLatin1String("%%"), QLatin1String("%"));
}

// Desktop entries are a few hundred bytes; anything far larger is no entry
// of ours.
constexpr qint64 EntrySizeLimit = 64 * 1024;

} // namespace

QString ShortcutHelper::startupFolder()
{
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(configHome)) {
        const QString home = homeFolder();
        configHome = home.isEmpty() ? QString() : home + QStringLiteral("/.config");
    }
    if (configHome.isEmpty()) {
        qDebug() << "无法获取启动文件夹路径";
        return QString();
    }
    return QDir::cleanPath(configHome + QStringLiteral("/autostart"));
}

bool ShortcutHelper::createShortcut(const QString &target, const QString &linkPath, const QString &arguments)
{
    QString exec = quotedArgument(target);
    if (!arguments.isEmpty())
        exec += QLatin1Char(' ') + arguments;

    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=%1\n"
                                         "Exec=%2\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(entryValue(QFileInfo(target).completeBaseName(), false), entryValue(exec, true));

    QSaveFile file(linkPath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(entry.toUtf8());
    return file.commit();
}

bool ShortcutHelper::deleteShortcut(const QString &linkPath)
{
    const QFileInfo link(linkPath);
    if (!link.exists() || link.isDir())
        return false;
    if (::unlink(QFile::encodeName(linkPath).constData()) == 0) {
        qDebug() << "Shortcut deleted successfully.";
        return true;
    }
    qDebug().nospace() << "Failed to delete the shortcut. Error: " << errno;
    return false;
}

QString ShortcutHelper::shortcutTarget(const QString &linkPath)
{
    QFile file(linkPath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QStringList lines = QString::fromUtf8(file.read(EntrySizeLimit)).split(QLatin1Char('\n'));
    bool inEntry = false;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1Char('[')))
            inEntry = line.trimmed() == QLatin1String("[Desktop Entry]");
        else if (inEntry && line.startsWith(QLatin1String("Exec=")))
            return firstArgument(unescapedValue(line.mid(5)));
    }
    return QString();
}
