#include "service/update/AutoUpdate.h"

#include "common/Clock.h"
#include "common/CoordinationProtocol.h"
#include "common/LoopbackSocket.h"
#include "platform/FileInUse.h"
#include "service/log/LogFacility.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QUdpSocket>

namespace {

QString programFolder()
{
    const QString program = QCoreApplication::applicationFilePath();
    return program.left(program.lastIndexOf(QLatin1Char('/')));
}

} // namespace

CAutoUpdate::CAutoUpdate(QObject *owner, const QString &serviceFolder)
    : m_owner(owner),
      m_socket(new QUdpSocket),
      m_serviceFolder(serviceFolder.isEmpty() ? programFolder() : serviceFolder),
      m_files(m_serviceFolder)
{
    connect(m_socket, &QUdpSocket::readyRead, this, &CAutoUpdate::onReadyRead);
    // Without the port the service simply hears no coordination requests.
    if (!LoopbackSocket::bindListener(*m_socket, CoordinationProtocol::ServicePort))
        reportPortTaken();

    m_watchTimer.setInterval(WatchIntervalMs);
    m_watchTimer.setSingleShot(true);
    connect(&m_watchTimer, &QTimer::timeout, this, &CAutoUpdate::onWatchTimer);
    connect(this, &CAutoUpdate::quitRequested, QCoreApplication::instance(), &QCoreApplication::quit);

    startUpdater();
}

CAutoUpdate::~CAutoUpdate()
{
    delete m_socket;
}

void CAutoUpdate::startUpdater()
{
    m_files = CUpdaterFiles(m_serviceFolder);
    m_watchTimer.start();
    // A second updater started while one runs ends by itself.
    if (CUpdaterFiles::isProgramFile(m_files.updater()))
        QProcess::startDetached(m_files.updater(), QStringList());
}

void CAutoUpdate::onWatchTimer()
{
    // Only this installation's updater counts: another user's, or another
    // installation's, must not hold up ours.
    if (isFileInUse(m_files.updater())) {
        m_watchTimer.start();
        return;
    }
    m_watchTimer.stop();
    m_files.applyWaitingUpdaters();
}

// Datagrams already pending are handled even after a quit was asked for,
// so every copy of a request that is read gets its answers.
void CAutoUpdate::onReadyRead()
{
    QList<QHostAddress> senders;
    QStringList otherUsers;
    const QList<QByteArray> datagrams = CoordinationProtocol::takePendingDatagrams(
        *m_socket, &senders, &otherUsers, CoordinationProtocol::Senders::OwnUserOnly);
    for (const QString &sender : otherUsers)
        reportOtherUser(sender);
    for (int i = 0; i < datagrams.size(); ++i) {
        // The port listens on every address, but only programs on this host
        // may ask the service to end.
        if (!LoopbackSocket::isLoopbackSender(senders.at(i))) {
            reportStranger(senders.at(i));
            continue;
        }
        const CoordinationProtocol::Message message = CoordinationProtocol::parse(datagrams.at(i));
        m_check = message.time;
        if (message.query == CoordinationProtocol::isUpdated() || message.query == CoordinationProtocol::closeApp()) {
            sendMessage(message.query);
            emit quitRequested();
        }
    }
}

void CAutoUpdate::sendMessage(const QString &query)
{
    CoordinationProtocol::sendTwice(*m_socket, CoordinationProtocol::answer(query, m_check),
                                    CoordinationProtocol::UpdaterPort);
}

// One line for the first, then at most one a minute: a flood must not fill the log.
void CAutoUpdate::reportStranger(const QHostAddress &sender)
{
    quint64 unlogged = 0;
    if (m_strangerLog.admit(Clock::system().monotonicMs(), &unlogged)) {
        WRITE_LOG(PrinterLog, QStringLiteral("忽略非本机发来的更新协调消息:%1（此前另有%2条未记录）")
                                  .arg(sender.toString(), QString::number(unlogged)));
    }
}

void CAutoUpdate::reportOtherUser(const QString &sender)
{
    quint64 unlogged = 0;
    if (m_otherUserLog.admit(Clock::system().monotonicMs(), &unlogged)) {
        WRITE_LOG(PrinterLog, QStringLiteral("忽略其他用户发来的更新协调消息:%1（此前另有%2条未记录）")
                                  .arg(sender, QString::number(unlogged)));
    }
}

// The port is not shared: while another program holds it, the service hears
// no coordination requests, and says so once.
void CAutoUpdate::reportPortTaken()
{
    QStringList users;
    for (const uint user : LoopbackSocket::otherUsersOn(CoordinationProtocol::ServicePort))
        users << QString::number(user);
    WRITE_LOG(PrinterLog, QStringLiteral("更新协调端口%1被占用（%2），未共享:%3")
                              .arg(QString::number(CoordinationProtocol::ServicePort),
                                   users.isEmpty() ? QStringLiteral("本用户") : QStringLiteral("用户") + users.join(QLatin1Char(',')),
                                   m_socket->errorString()));
}
