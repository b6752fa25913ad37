#pragma once

#include "common/LogThrottle.h"
#include "service/stb/HostAddresses.h"
#include "service/stb/SetTopBoxLink.h"
#include "service/stb/StbInfo.h"
#include "service/stb/StbRegistry.h"
#include "service/stb/SubtitleMsg.h"

#include <QHostAddress>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUdpSocket>

#include <functional>

class Clock;
class QNetworkAccessManager;
class QNetworkReply;

// The service's link to the set-top boxes in the rooms and to the other print
// services of the venue: notices and subtitles to the boxes, their status
// reports, subtitle deletions shared with the peers, and the relay of
// authorisation-code checks to a box's web interface.
class CInformationServices : public QObject, public SetTopBoxLink
{
    Q_OBJECT

public:
    // Where the service takes its addresses, its subtitle file and its time
    // from. The application object hands in its own; tests bring theirs, so
    // that nothing depends on the host's interfaces or clock.
    struct Context
    {
        std::function<QString()> localAddress;
        std::function<QString()> broadcastAddress;
        std::function<QJsonObject(const QString &)> readJsonFile;
        std::function<bool(const QJsonObject &, const QString &)> writeJsonFile;
        // Unix time of the subtitle schedule (epochMs) and the box registry's
        // tick counter (monotonicMs); null means the system clock and tickCountMs().
        const Clock *clock = nullptr;
        // Longest wait for a box's answer to an authorisation-code check.
        int authCodeTimeoutMs = 10000;
    };

    explicit CInformationServices(const Context &context, QObject *parent = nullptr);
    ~CInformationServices() override;

    static constexpr quint16 servicePort = 19262;
    static constexpr quint16 stbPort = 18108;
    static constexpr quint16 stbHttpPort = 12080;
    static constexpr int sendIntervalMs = 3000;

    // Datagrams to the boxes; an empty ip means every box.
    void sendStbMsg(const int &type, const QString &content, unsigned times, const QString &ip) override;
    void sendPeerMsg(const QString &text);

    // Registry of boxes.
    void updateStbInfo(const QJsonObject &status, const QHostAddress &sender);
    QString getStbInfo() override;
    bool findStbByAccount(quint32 unAccount, StbInfo *found) const;
    QList<StbInfo> stbInfoList();

    // Subtitles.
    void handleSubtitle(const QJsonValue &data, const bool &fromNetwork) override;
    void pushSubtitle(const QJsonValue &data, const SubtitleSaved &saved) override;
    bool processSubtitles(QList<SubtitleMsg> &list);
    void sendSubtitle(const SubtitleMsg &msg);
    bool saveSubtitles(const QList<SubtitleMsg> &list);
    void loadSubtitles();
    QList<SubtitleMsg> subtitleList();

    // Relays an authorisation-code check to the box of the account; the
    // answer for the cashier comes when the box has answered or
    // authCodeTimeoutMs have passed.
    void checkAuthCode(unsigned unAccount, const QJsonValue &data, const AuthCodeAnswer &answer) override;
    static QString authCodeFailure();

    // Writes of subtitle.conf so far, failed ones included.
    quint64 subtitleWrites() const { return m_subtitleWrites; }
    quint16 boundPort() const { return m_socket.localPort(); }

public slots:
    void onReadyRead();
    void onSendMsg();

private:
    void start();
    quint32 tickNow() const;
    quint32 unixNow() const;
    qint64 monotonicNow() const;
    void queueSubtitleWrite();
    void writeQueuedSubtitles();
    bool saveIfUnsaved();
    bool isPeerDeletion(const QJsonObject &datagram, const QHostAddress &sender);
    void sendDatagram(const QByteArray &bytes, const QHostAddress &address, quint16 port);
    void awaitAuthCodeReply(QNetworkReply *reply, const QString &urlText, const AuthCodeAnswer &answer);
    static QString authCodeAnswerOf(QNetworkReply *reply, const QString &urlText);

    QNetworkAccessManager *m_networkManager = nullptr;
    QUdpSocket m_socket;
    StbRegistry m_stbInfos;
    QList<SubtitleMsg> m_subtitles;
    QMap<qint32, quint32> pushTimes;
    QTimer m_timer;
    // The file is behind the list: a change since the last good write.
    bool m_subtitlesUnsaved = false;
    bool m_subtitleWriteQueued = false;
    bool m_subtitleWriteFailing = false;
    quint64 m_subtitleWrites = 0;
    QList<SubtitleSaved> m_waitingForWrite;
    QMutex m_subtitleMutex;
    Context m_context;
    HostAddresses m_hostAddresses;
    LogThrottle m_peerAddLog;
    LogThrottle m_fullRegistryLog;
    LogThrottle m_fullListLog;
    LogThrottle m_subtitleWriteLog;
};
