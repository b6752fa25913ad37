#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// The venue's LAN as seen from a test: set-top boxes and a second print
// service, played by a helper process in the harness's LAN namespace. What
// they send carries their own source addresses; what the service sends is
// captured as it arrives there (UDP ports 18108 and 19262), and boxes can
// answer HTTP on port 12080 at their own address.
// Tests using it (or binding the service's port 19262) take the CTest
// RESOURCE_LOCK korvel_fixed_ports (FIXED_PORTS in their tests folder): unicast reaches only one of several sockets
// sharing a port.
class FakeVenue : public QObject
{
    Q_OBJECT

public:
    struct Datagram
    {
        quint16 port = 0;
        QString source;
        QString destination;
        int ttl = -1;
        QByteArray data;
    };

    struct HttpAnswer
    {
        int status = 200;
        QByteArray body;
        QJsonObject headers;
        int delayMs = 0;
        bool silent = false; // accept the connection, never answer
    };

    FakeVenue();
    ~FakeVenue() override;

    // Starts the helper in $KORVEL_LAN_NS; false (with a warning) on failure.
    bool start();

    // One datagram from a LAN address; returns once it has left.
    bool send(const QString &from, const QString &to, quint16 port, const QByteArray &data);
    // Several datagrams from one address, back to back; returns once all have left.
    bool sendMany(const QString &from, const QString &to, quint16 port, const QList<QByteArray> &datagrams);
    bool serveHttp(const QString &boxAddress, const HttpAnswer &answer);

    // Waits until every datagram sent so far from this host to the LAN port
    // has arrived there, so that counts are final.
    bool settle(quint16 port);

    QList<Datagram> datagrams() const { return m_datagrams; }
    // Captured datagrams from one source to one port, in arrival order.
    QList<Datagram> datagrams(const QString &source, quint16 port) const;
    QStringList httpRequests(const QString &boxAddress) const;
    void clear();

    static QString serviceAddress();
    static QString broadcastAddress();
    static QString lanAddress();
    static QStringList boxAddresses();

private:
    bool command(QJsonObject command, const QString &expectedEvent);
    void readEvents();

    QProcess m_process;
    QByteArray m_output;
    QList<Datagram> m_datagrams;
    QList<QJsonObject> m_httpRequests;
    QList<QJsonObject> m_replies;
    QStringList m_fences;
    bool m_ready = false;
    int m_seq = 0;
};
