#pragma once

#include <QJsonObject>
#include <QString>

// What the service knows about one set-top box: the values of its latest
// status report, the address it came from and when it was handled.
struct StbInfo
{
    quint32 unAccount = 0;
    QString roomName;
    QString strIp;
    QString cprtQrCode;
    qint32 isServer = 0;
    qint32 isCloseRoom = 0;
    qint32 cprtSigned = 0;
    qint32 cprtPayStatus = 0;
    quint32 cprtTime = 0;
    quint32 unTime = 0;

    // Reads a status report ("query" "stbInfo"); missing or mistyped values
    // read as 0 or empty. Texts longer than a box ever sends are cut.
    static StbInfo fromStatus(const QJsonObject &status, const QString &sourceAddress, quint32 tick);

    // Heard from within the last 15 s at counter value now. The counter
    // values are 32-bit and wrap, so the difference is taken modulo 2^32.
    bool isOnline(quint32 now) const;
    // The record as the cashier's box list shows it.
    QJsonObject toListEntry() const;
    // The same entry as compact JSON text with every blank removed, appended
    // to out: what the JSON writer makes of toListEntry(), but fast enough
    // to list thousands of boxes at every request.
    void appendListEntryText(QByteArray &out) const;

    static constexpr quint32 onlineWindowMs = 15000;
    // Room names are a few words; the code is a payment link.
    static constexpr int maxRoomNameChars = 64;
    static constexpr int maxQrCodeChars = 512;
};
