#pragma once

#include <QHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

// A merchant's logo server on 127.0.0.1: plain HTTP, or HTTPS with a
// self-signed certificate made when it starts. Unknown paths answer 404.
class LogoServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit LogoServer(bool tls = false) : m_tls(tls) {}

    bool start(); // false: see errorText()
    QString errorText() const { return m_error; }
    QString url(const QString &path) const;
    // headers: extra header lines, each ending in "\r\n".
    void serve(const QString &path, const QByteArray &body, int status = 200, const QByteArray &headers = {});
    // An answer without length that never ends.
    void serveEndless(const QString &path);
    int requests(const QString &path) const { return m_requests.value(path); }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    struct Answer
    {
        int status = 404;
        QByteArray body;
        QByteArray headers;
        bool endless = false;
    };

    void streamWithoutEnd(QTcpSocket *socket);

    bool m_tls;
    QString m_error;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QHash<QString, Answer> m_answers;
    QHash<QString, int> m_requests;
};
