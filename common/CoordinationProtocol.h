#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>

class QUdpSocket;

// The loopback datagrams by which the service, the updater and the cleaner
// coordinate. Each message is one small JSON text, filled into a fixed
// template without escaping, cut to the template's limit and sent twice.
class CoordinationProtocol
{
public:
    static constexpr quint16 ServicePort = 19682; // the service listens here
    static constexpr quint16 UpdaterPort = 19681; // the updater listens here

    static constexpr int RequestLimit = 95;
    static constexpr int AnswerLimit = 159;
    static constexpr int QuitLimit = 127;

    // Message names; compared exactly, letter case included.
    static QString isUpdated() { return QStringLiteral("IsUpdated"); }
    static QString closeApp() { return QStringLiteral("CloseApp"); }
    static QString noUpdated() { return QStringLiteral("NoUpdated"); }

    // The fields of a received message; a missing field, or one that is no
    // string, reads as the empty string.
    struct Message
    {
        QString query;
        QString time;
        QString check;
    };

    // {"query":"%s","time":"%s"}: requests of the updater and the cleaner.
    static QByteArray request(const QString &query, const QString &time);
    // {"query":"%s","check":"%s"}: answers of the service.
    static QByteArray answer(const QString &query, const QString &check);
    // {"query":"%s"}: what the service sends when started in quit mode.
    static QByteArray quitRequest(const QString &query);

    // Text that is no JSON object reads as an object without fields.
    static Message parse(const QByteArray &text);

    // Who may have sent a datagram that counts. A socket of this host is
    // looked up by the sender's port while the datagram is read, so a sender
    // that has closed its socket by then cannot be vouched for. Answers that
    // must carry back a token we sent only to our own user's port may still
    // come from there (the service ends right after answering); requests
    // that steer the receiver may not.
    enum class Senders { OwnUserOrGone, OwnUserOnly };

    // Reads every datagram pending on socket, in order. A datagram that is
    // not read whole (fewer or more bytes than announced) is dropped, and so
    // is one sent from this host by a socket that does not pass `accepted`:
    // its sender goes to refused ("address:port"), or without refused into
    // a throttled warning. With senders, the sender of each datagram kept is
    // added there, in the same order.
    static QList<QByteArray> takePendingDatagrams(QUdpSocket &socket, QList<QHostAddress> *senders = nullptr,
                                                  QStringList *refused = nullptr,
                                                  Senders accepted = Senders::OwnUserOrGone);

    // Sends text twice, back to back, to 127.0.0.1:port; nothing when
    // another user's socket holds that port, so that our tokens and answers
    // never reach them.
    static void sendTwice(QUdpSocket &socket, const QByteArray &text, quint16 port);

    // The "quit" start of the service: {"query":"IsUpdated"} twice to the
    // running service, from an unbound socket. The service heeds only
    // datagrams whose sending socket it finds to be its own user's, so the
    // socket stays open until the service has let its port go, at most
    // QuitWaitMs.
    static constexpr int QuitWaitMs = 3000;
    static void sendQuitToService();
};
