// Stands for the venue's LAN in tests: set-top boxes and a second print
// service. Runs in the LAN network namespace, so what it sends carries the
// boxes' own source addresses, and it sees exactly what reaches the LAN.
//
// Commands arrive on standard input, one JSON object per line; reports leave
// on standard output, one JSON object per line:
//   {"op":"send","seq":N,"from":A,"to":B,"port":P,"data":BASE64}  -> {"ev":"sent","seq":N}
//     ("many":[BASE64,...] instead of "data" sends several, back to back)
//   {"op":"http","seq":N,"addr":A,"status":S,"body":TEXT,"headers":{..},
//    "delayMs":D,"silent":BOOL}                                    -> {"ev":"ok","seq":N}
//   {"op":"ping","seq":N}                                           -> {"ev":"pong","seq":N}
// Reports without a command: {"ev":"ready"}, every datagram that arrives on
// 18108 or 19262 as {"ev":"udp","port","src","dst","ttl","data"}, a fence datagram
// as {"ev":"fence","id"}, and every HTTP request as {"ev":"http","addr","request"}.

#include <QCoreApplication>
#include <QHash>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>
#include <unistd.h>

namespace {

const QByteArray fencePrefix = "korvel-fence:";

void report(const QJsonObject &event)
{
    const QByteArray line = QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n';
    fwrite(line.constData(), 1, size_t(line.size()), stdout);
    fflush(stdout);
}

struct HttpBehaviour
{
    int status = 200;
    QByteArray body;
    QJsonObject headers;
    int delayMs = 0;
    bool silent = false;
};

class FakeVenue : public QObject
{
public:
    bool start()
    {
        if (!listenUdp(m_boxPort, 18108, {QHostAddress(QStringLiteral("224.0.0.19"))})
            || !listenUdp(m_peerPort, 19262, {QHostAddress(QStringLiteral("224.0.0.19"))}))
            return false;
        m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_stdin, &QSocketNotifier::activated, this, [this] { readCommands(); });
        report({{"ev", "ready"}});
        return true;
    }

private:
    bool listenUdp(QUdpSocket &socket, quint16 port, const QList<QHostAddress> &groups)
    {
        if (!socket.bind(QHostAddress::AnyIPv4, port, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint))
            return false;
        socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 * 1024 * 1024);
        for (const QHostAddress &group : groups)
            socket.joinMulticastGroup(group);
        connect(&socket, &QUdpSocket::readyRead, this, [this, &socket, port] {
            while (socket.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = socket.receiveDatagram();
                const QByteArray data = datagram.data();
                if (data.startsWith(fencePrefix)) {
                    report({{"ev", "fence"}, {"id", QString::fromLatin1(data.mid(fencePrefix.size()))}});
                    continue;
                }
                report({{"ev", "udp"},
                        {"port", int(port)},
                        {"src", datagram.senderAddress().toString()},
                        {"dst", datagram.destinationAddress().toString()},
                        {"ttl", datagram.hopLimit()},
                        {"data", QString::fromLatin1(data.toBase64())}});
            }
        });
        return true;
    }

    void readCommands()
    {
        char chunk[65536];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        m_input.append(chunk, int(n));
        int end;
        while ((end = m_input.indexOf('\n')) >= 0) {
            const QByteArray line = m_input.left(end);
            m_input.remove(0, end + 1);
            execute(QJsonDocument::fromJson(line).object());
        }
    }

    void execute(const QJsonObject &command)
    {
        const QString op = command.value("op").toString();
        const int seq = command.value("seq").toInt();
        if (op == "send") {
            QUdpSocket *socket = senderFor(command.value("from").toString());
            const QHostAddress to(command.value("to").toString());
            const quint16 port = quint16(command.value("port").toInt());
            QJsonArray many = command.value("many").toArray();
            if (many.isEmpty())
                many.append(command.value("data"));
            for (const QJsonValue &data : qAsConst(many))
                socket->writeDatagram(QByteArray::fromBase64(data.toString().toLatin1()), to, port);
            report({{"ev", "sent"}, {"seq", seq}});
        } else if (op == "http") {
            HttpBehaviour behaviour;
            behaviour.status = command.value("status").toInt(200);
            behaviour.body = command.value("body").toString().toUtf8();
            behaviour.headers = command.value("headers").toObject();
            behaviour.delayMs = command.value("delayMs").toInt();
            behaviour.silent = command.value("silent").toBool();
            const bool ok = serveHttp(command.value("addr").toString(), behaviour);
            report({{"ev", ok ? "ok" : "failed"}, {"seq", seq}});
        } else if (op == "ping") {
            report({{"ev", "pong"}, {"seq", seq}});
        }
    }

    QUdpSocket *senderFor(const QString &from)
    {
        QUdpSocket *&socket = m_senders[from];
        if (!socket) {
            socket = new QUdpSocket(this);
            socket->bind(QHostAddress(from), 0);
            socket->setSocketOption(QAbstractSocket::MulticastLoopbackOption, 0);
        }
        return socket;
    }

    bool serveHttp(const QString &address, const HttpBehaviour &behaviour)
    {
        m_http[address] = behaviour;
        if (m_servers.contains(address))
            return true;
        auto *server = new QTcpServer(this);
        if (!server->listen(QHostAddress(address), 12080)) {
            delete server;
            return false;
        }
        m_servers.insert(address, server);
        connect(server, &QTcpServer::newConnection, this, [this, server, address] {
            while (QTcpSocket *socket = server->nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, this, [this, socket, address] { onRequest(socket, address); });
                connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                    m_requests.remove(socket);
                    socket->deleteLater();
                });
            }
        });
        return true;
    }

    void onRequest(QTcpSocket *socket, const QString &address)
    {
        QByteArray &buffer = m_requests[socket];
        buffer.append(socket->readAll());
        if (!buffer.contains("\r\n\r\n"))
            return;
        const QByteArray requestLine = buffer.left(buffer.indexOf("\r\n"));
        m_requests.remove(socket);
        report({{"ev", "http"}, {"addr", address}, {"request", QString::fromLatin1(requestLine)}});

        const HttpBehaviour behaviour = m_http.value(address);
        if (behaviour.silent)
            return;
        QTimer::singleShot(behaviour.delayMs, socket, [socket, behaviour] {
            QByteArray response = "HTTP/1.1 " + QByteArray::number(behaviour.status) + " Fake\r\n";
            for (auto it = behaviour.headers.begin(); it != behaviour.headers.end(); ++it)
                response += it.key().toUtf8() + ": " + it.value().toString().toUtf8() + "\r\n";
            response += "Content-Length: " + QByteArray::number(behaviour.body.size()) + "\r\n";
            response += "Connection: close\r\n\r\n" + behaviour.body;
            socket->write(response);
            socket->disconnectFromHost();
        });
    }

    QUdpSocket m_boxPort;
    QUdpSocket m_peerPort;
    QSocketNotifier *m_stdin = nullptr;
    QByteArray m_input;
    QHash<QString, QUdpSocket *> m_senders;
    QHash<QString, QTcpServer *> m_servers;
    QHash<QString, HttpBehaviour> m_http;
    QHash<QTcpSocket *, QByteArray> m_requests;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    FakeVenue venue;
    if (!venue.start()) {
        fprintf(stderr, "fake venue: cannot bind the set-top-box ports\n");
        return 1;
    }
    return app.exec();
}
