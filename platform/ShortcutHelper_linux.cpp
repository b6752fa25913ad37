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
