#pragma once

#include <QByteArray>
#include <QHash>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
#include <QTemporaryDir>

// A small web server on 127.0.0.1 standing for a merchant's logo server:
// plain HTTP, or HTTPS with a self-signed certificate made when it starts.
// Serves fixed bodies, redirects and 404s, and counts the requests per path.
class LogoServer : public QTcpServer
{
    Q_OBJECT

public:
    enum Scheme { Http, Https };

    explicit LogoServer(Scheme scheme = Http, QObject *parent = nullptr);

    // Listens on a free loopback port; false (see errorText) on failure.
    bool start();
    QString errorText() const { return m_error; }

    QString url(const QString &path) const;
    void serve(const QString &path, const QByteArray &body, const QByteArray &contentType);
    void redirect(const QString &path, const QString &target);
    int requests(const QString &path) const { return m_requests.value(path); }

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    struct Answer
    {
        int status = 404;
        QByteArray body;
        QByteArray contentType;
        QString location;
    };

    bool makeCertificate();
    void answer(QTcpSocket *socket, const QString &path);

    Scheme m_scheme;
    QString m_error;
    QTemporaryDir m_certFolder;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QHash<QString, Answer> m_answers;
    QHash<QString, int> m_requests;
};
