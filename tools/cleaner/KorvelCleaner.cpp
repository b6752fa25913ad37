#include "tools/cleaner/KorvelCleaner.h"

#include "tools/cleaner/RunEntryCheck.h"
#include "common/CoordinationProtocol.h"
#include "common/InstallationLayout.h"
#include "platform/FileInUse.h"
#include "platform/FolderHandle.h"
#include "platform/FolderView.h"
#include "platform/ShortcutHelper.h"
#include "platform/TaskKill.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QUdpSocket>

#include <algorithm>

namespace {

// How long programs asked to close, or ended, get before the folder goes.
constexpr int SettleMs = 500;

// The service names its Run value after its program file up to the first dot.
QString runValueName()
{
    return QFileInfo(InstallationLayout::serviceProgram()).baseName();
}

QString commandLine(const QProcess &process)
{
    return (QStringList{process.program()} + process.arguments()).join(QLatin1Char(' '));
}

} // namespace

KorvelCleaner::KorvelCleaner(QObject *parent) : QObject(parent), m_socket(new QUdpSocket(this)) {}

KorvelCleaner::~KorvelCleaner() = default;

QString KorvelCleaner::readRunEntry() const
{
    return m_runKey.value(runValueName());
}

void KorvelCleaner::startCleanup()
{
    // A second press while a run waits for programs to end would race it.
    if (m_running)
        return;
    m_removed.clear();
    m_failure.clear();
    m_folder.reset();
    const QString runValue = readRunEntry();
    if (runValue.isEmpty()) {
        emit cleanupFinished(true);
        return;
    }
    // The package is gone already; only its traces in the session remain.
    if (RunEntryCheck::isLeftBehind(runValue)) {
        forgetRunValue(runValue, QDir::fromNativeSeparators(runValue));
        emit cleanupFinished(true);
        return;
    }
    QString reason;
    const QString servicePath = RunEntryCheck::servicePath(runValue, &reason);
    if (servicePath.isEmpty()) {
        // Nothing is deleted and the value stays, so nothing is lost.
        qDebug().noquote() << "运行项不是服务程序，未删除任何文件:" << runValue << "(" + reason + ")";
        fail(runValue + QStringLiteral(": ") + reason);
        emit cleanupFinished(false);
        return;
    }
    m_baseDir = QFileInfo(servicePath).path();
    m_folder = std::make_unique<FolderHandle>(m_baseDir);
    if (!holdsPackage()) {
        fail(m_folder->isOpen() ? m_baseDir + QStringLiteral(": holds no Updater folder of the package")
                                : m_folder->error());
        m_folder.reset();
        emit cleanupFinished(false);
        return;
    }
    m_running = true;
    forgetRunValue(runValue, servicePath);
    removePackageFiles(servicePath);
}

void KorvelCleaner::forgetRunValue(const QString &runValue, const QString &servicePath)
{
    if (removeAutostartEntry(servicePath))
        m_removed << QStringLiteral("autostart entry for ") + servicePath;
    m_runKey.remove(runValueName());
    m_removed << QStringLiteral("Run value %1=%2").arg(runValueName(), runValue);
}

// The service's program beside the updater's folder with its configuration
// or its program: a folder without them is not known to be the package.
bool KorvelCleaner::holdsPackage() const
{
    const QString updater = InstallationLayout::updaterFolder() + QLatin1Char('/');
    return m_folder && m_folder->isOpen() && m_folder->holdsFile(InstallationLayout::serviceProgram())
           && (m_folder->holdsFile(updater + InstallationLayout::updateConf())
               || m_folder->holdsFile(updater + InstallationLayout::updaterProgram()));
}

// The desktop would otherwise try to start the deleted program at every logon.
bool KorvelCleaner::removeAutostartEntry(const QString &servicePath) const
{
    const QString folder = ShortcutHelper::startupFolder();
    if (folder.isEmpty())
        return false;
    const QString entry = folder + QLatin1Char('/') + QFileInfo(InstallationLayout::serviceProgram()).completeBaseName()
                          + ShortcutHelper::shortcutExtension();
    const QString target = ShortcutHelper::shortcutTarget(entry);
    if (target.isEmpty())
        return false;
    // The program may be gone: then its folder's real path decides.
    const QFileInfo program(target);
    const QString programFolder = QDir(program.absolutePath()).canonicalPath();
    const QString resolved = programFolder.isEmpty() ? QDir::cleanPath(target)
                                                     : programFolder + QLatin1Char('/') + program.fileName();
    return (resolved == servicePath || QDir::cleanPath(target) == servicePath) && ShortcutHelper::deleteShortcut(entry);
}

QString KorvelCleaner::updaterPath() const
{
    return m_baseDir + QLatin1Char('/') + InstallationLayout::updaterFolder() + QLatin1Char('/')
           + InstallationLayout::updaterProgram();
}

QString KorvelCleaner::rollbackPath() const
{
    return m_baseDir + QLatin1Char('/') + InstallationLayout::updaterFolder() + QLatin1Char('/')
           + InstallationLayout::rollbackProgram();
}

QStringList KorvelCleaner::packagePrograms() const
{
    return {m_servicePath, updaterPath(), rollbackPath()};
}

void KorvelCleaner::removePackageFiles(const QString &servicePath)
{
    m_servicePath = servicePath;
    // A running program is asked to close rather than having its file
    // deleted under it; the files go with the folder after the wait.
    if (isFileInUse(servicePath))
        sendCloseApp(CoordinationProtocol::ServicePort);
    if (isFileInUse(updaterPath()))
        sendCloseApp(CoordinationProtocol::UpdaterPort);
    QTimer::singleShot(SettleMs, this, &KorvelCleaner::removeAfterWait);
}

// The folder could be deleted here even while programs still run from it, so
// whatever of them has not closed is ended first.
void KorvelCleaner::removeAfterWait()
{
    const QStringList programs = packagePrograms();
    const bool anyRunning = std::any_of(programs.cbegin(), programs.cend(), isFileInUse);
    if (!anyRunning) {
        finish(removeBaseDir());
        return;
    }
    killProcesses(programs);
}

void KorvelCleaner::sendCloseApp(quint16 port)
{
    const QByteArray text = CoordinationProtocol::request(
        CoordinationProtocol::closeApp(), QString::number(QDateTime::currentSecsSinceEpoch()));
    for (int copy = 0; copy < 2; ++copy)
        qDebug().noquote() << "===== 发送消息" << QString::fromUtf8(text);
    CoordinationProtocol::sendTwice(*m_socket, text, port);
}

void KorvelCleaner::killProcesses(const QStringList &paths)
{
    auto *process = new QProcess(this);
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &KorvelCleaner::onKillFinished);
    // A command that cannot start never finishes; it counts as failed.
    connect(process, &QProcess::errorOccurred, this, [this, process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            reportKill(process, -1, QProcess::CrashExit);
    });
    process->setProgram(TaskKill::program());
    process->setArguments(TaskKill::arguments(paths));
    qDebug().noquote() << "执行命令:" << commandLine(*process);
    process->start(QIODevice::ReadWrite);
}

void KorvelCleaner::onKillFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    if (auto *process = qobject_cast<QProcess *>(sender()))
        reportKill(process, exitCode, exitStatus);
}

void KorvelCleaner::reportKill(QProcess *process, int exitCode, QProcess::ExitStatus exitStatus)
{
    const QString command = commandLine(*process);
    if (exitCode != 0 || exitStatus != QProcess::NormalExit) {
        const QString error = QString::fromLocal8Bit(process->readAllStandardError());
        const QString output = QString::fromLocal8Bit(process->readAllStandardOutput());
        qDebug().noquote() << QStringLiteral("终止进程失败:") + QStringLiteral("\n命令行:") + command
                                  + QStringLiteral("\n错误码:") + QString::number(exitCode)
                                  + QStringLiteral("\n错误信息:") + error + QStringLiteral("\n输出信息:") + output;
    } else {
        qDebug().noquote() << "成功终止进程，命令行:" << command;
    }
    process->deleteLater();
    QTimer::singleShot(SettleMs, this, [this] {
        const bool removed = removeBaseDir();
        qDebug().noquote() << (removed ? "成功删除目录:" : "删除目录失败:") << m_baseDir;
        finish(removed);
    });
}

bool KorvelCleaner::removeBaseDir()
{
    if (!m_folder)
        m_folder = std::make_unique<FolderHandle>(m_baseDir);
    // Checked again after the wait: the path may have been swapped for a
    // link or another folder, and then nothing is deleted.
    if (!m_folder->isStillAtPath() || !holdsPackage()) {
        fail(m_baseDir + QStringLiteral(": no longer the package folder that was checked"));
        return false;
    }
    const bool removed = m_folder->removeAll();
    if (m_folder->removedEntries() > 0)
        m_removed << QStringLiteral("%1 (%2 entries)").arg(m_baseDir, QString::number(m_folder->removedEntries()));
    if (!removed)
        fail(m_folder->error());
    return removed;
}

void KorvelCleaner::fail(const QString &reason)
{
    if (m_failure.isEmpty())
        m_failure = reason;
}

void KorvelCleaner::finish(bool success)
{
    m_running = false;
    m_folder.reset();
    emit cleanupFinished(success);
}

void KorvelCleaner::showInFolder()
{
    if (!m_baseDir.isEmpty())
        FolderView::showSelected(QDir::toNativeSeparators(m_baseDir));
}
