#include "tests/support/LogoServer.h"

#include <QFile>
#include <QProcess>
#include <QSslSocket>
#include <QTemporaryDir>

bool LogoServer::start()
{
    if (m_tls) {
        QTemporaryDir folder;
        const QString key = folder.filePath(QStringLiteral("key.pem"));
        const QString cert = folder.filePath(QStringLiteral("cert.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                                     "-subj /CN=logo.invalid -keyout %1 -out %2")
                          .arg(key, cert)
                          .split(QLatin1Char(' ')));
        openssl.waitForFinished(30000);
        QFile keyFile(key);
        QFile certFile(cert);
        if (keyFile.open(QIODevice::ReadOnly) && certFile.open(QIODevice::ReadOnly)) {
            m_key = QSslKey(keyFile.readAll(), QSsl::Ec);
            m_certificate = QSslCertificate(certFile.readAll());
        }
        if (m_key.isNull() || m_certificate.isNull()) {
            m_error = QStringLiteral("no certificate: ") + QString::fromLocal8Bit(openssl.readAllStandardError());
            return false;
        }
    }
    if (!listen(QHostAddress::LocalHost, 0)) {
        m_error = errorString();
        return false;
    }
    return true;
}

QString LogoServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3").arg(m_tls ? "https" : "http").arg(serverPort()).arg(path);
}

void LogoServer::serve(const QString &path, const QByteArray &body, int status, const QByteArray &headers)
{
    m_answers.insert(path, Answer{status, body, headers});
}

void LogoServer::serveEndless(const QString &path)
{
    m_answers.insert(path, Answer{200, {}, {}, true});
}

void LogoServer::streamWithoutEnd(QTcpSocket *socket)
{
    socket->write("HTTP/1.1 200 X\r\nContent-Type: image/png\r\nConnection: close\r\n\r\n");
    const QByteArray chunk(64 * 1024, 'e');
    auto more = [socket, chunk] {
        while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < 4 * chunk.size())
            socket->write(chunk);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, more);
    more();
}

void LogoServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
        if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n"))
            return;
        // "GET /path HTTP/1.1"
        const QString path = QString::fromUtf8(socket->readAll().split(' ').value(1));
        m_requests[path] += 1;
        const Answer answer = m_answers.value(path);
        if (answer.endless) {
            streamWithoutEnd(socket);
            return;
        }
        socket->write("HTTP/1.1 " + QByteArray::number(answer.status) + " X\r\n" + answer.headers
                      + "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\nConnection: close\r\n\r\n"
                      + answer.body);
        socket->disconnectFromHost();
    });
    if (m_tls) {
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        socket->startServerEncryption();
    }
}
