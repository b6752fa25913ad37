#pragma once

#include <QObject>
#include <QString>
#include <QUdpSocket>

// The updater's end of the loopback coordination with the service: it asks
// on 19682 and hears the answers on 19681. The run token (the Unix time when
// the listener was made) goes with every request; an answer counts only when
// it carries the token back, so an answer given to someone else ends the run.
class CUdpThread : public QObject
{
    Q_OBJECT

public:
    explicit CUdpThread(QObject *parent = nullptr);

    QString runToken() const { return m_runToken; }

    // Sends the request twice to the service.
    void sendMessage(const QString &query);

signals:
    // Answers that carry our token.
    void updateAgreed();    // "IsUpdated": the service agreed and is ending
    void updateRefused();   // "NoUpdated"
    void serviceClosed();   // "CloseApp": the service is ending
    // An answer with a wrong or missing token.
    void foreignAnswer();

private slots:
    void onReadyRead();

private:
    QUdpSocket m_socket;
    const QString m_runToken;
};
