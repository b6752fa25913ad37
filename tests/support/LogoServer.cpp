#include "LogoServer.h"

#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QSslSocket>

LogoServer::LogoServer(Scheme scheme, QObject *parent) : QTcpServer(parent), m_scheme(scheme) {}

bool LogoServer::start()
{
    if (m_scheme == Https && !makeCertificate())
        return false;
    if (!listen(QHostAddress::LocalHost, 0)) {
        m_error = errorString();
        return false;
    }
    return true;
}

bool LogoServer::makeCertificate()
{
    const QString keyPath = m_certFolder.filePath(QStringLiteral("key.pem"));
    const QString certPath = m_certFolder.filePath(QStringLiteral("cert.pem"));
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=logo.invalid"),
                   QStringLiteral("-keyout"), keyPath, QStringLiteral("-out"), certPath});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl failed: ") + QString::fromLocal8Bit(openssl.readAllStandardError());
        return false;
    }
    QFile keyFile(keyPath);
    QFile certFile(certPath);
    if (!keyFile.open(QIODevice::ReadOnly) || !certFile.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("no certificate files");
        return false;
    }
    m_key = QSslKey(keyFile.readAll(), QSsl::Ec);
    m_certificate = QSslCertificate(certFile.readAll());
    if (m_key.isNull() || m_certificate.isNull()) {
        m_error = QStringLiteral("unreadable certificate");
        return false;
    }
    return true;
}

QString LogoServer::url(const QString &path) const
{
    return QStringLiteral("%1://127.0.0.1:%2%3")
        .arg(m_scheme == Https ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(serverPort())
        .arg(path);
}

void LogoServer::serve(const QString &path, const QByteArray &body, const QByteArray &contentType)
{
    Answer answer;
    answer.status = 200;
    answer.body = body;
    answer.contentType = contentType;
    m_answers.insert(path, answer);
}

void LogoServer::redirect(const QString &path, const QString &target)
{
    Answer answer;
    answer.status = 302;
    answer.body = "moved";
    answer.contentType = "text/plain";
    answer.location = target;
    m_answers.insert(path, answer);
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
        const QByteArray head = socket->peek(socket->bytesAvailable());
        if (!head.contains("\r\n\r\n"))
            return;
        socket->readAll();
        // "GET /path HTTP/1.1"
        const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
        answer(socket, QString::fromUtf8(requestLine.value(1)));
    });
    if (m_scheme == Https) {
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        socket->startServerEncryption();
    }
}

void LogoServer::answer(QTcpSocket *socket, const QString &path)
{
    m_requests[path] += 1;
    const Answer answer = m_answers.value(path);
    static const QHash<int, QByteArray> reasons = {{200, "OK"}, {302, "Found"}, {404, "Not Found"}};
    QByteArray response = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + reasons.value(answer.status) + "\r\n";
    if (!answer.contentType.isEmpty())
        response += "Content-Type: " + answer.contentType + "\r\n";
    if (!answer.location.isEmpty())
        response += "Location: " + answer.location.toUtf8() + "\r\n";
    response += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\nConnection: close\r\n\r\n";
    response += answer.body;
    socket->write(response);
    socket->disconnectFromHost();
}
