#pragma once

#include <QJsonObject>
#include <QString>

// Update.conf, the updater's settings beside its program. The updater reads
// it before every check and rewrites it after a package passed its checksum;
// the service's "UpdateConfig" command changes three of its keys.
//
// The file is ASCII: reading takes the bytes up to the first zero byte.
// Numbers are read as JSON numbers or decimal strings and always written as
// strings, which is what the update server's other clients expect to find.
struct UpdateConfig
{
    quint32 version = 0;
    QString name;
    QString updateTime;
    QString url;
    quint32 silent = 0;
    quint32 startTime = 0;
    QString device;
    // A publisher's minisign public key, when packages must be signed. Set on
    // the till only: kept by every rewrite, never taken from a server.
    QString publicKey;

    // The wait between the service's answer and the installation: at least
    // 200 ms, and at most 30 s, well inside the updater's 480 s run, so that
    // no stored value can leave an update waiting with the service closed.
    static constexpr quint32 MinStartDelayMs = 200;
    static constexpr quint32 MaxStartDelayMs = 30000;
    static quint32 startDelayMs(quint32 startTime);

    // Missing keys and values of another kind take the defaults above.
    static UpdateConfig fromObject(const QJsonObject &object);
    // Exactly the seven keys, every value a JSON string, and "publicKey"
    // when one is set.
    QJsonObject toObject() const;

    // Text up to the first zero byte. Bytes that are not UTF-8 count one
    // byte per character; UTF-8 is decoded, so that a value written back
    // stays as it was instead of growing with every rewrite.
    static QString decode(QByteArray bytes);
    // The file's decoded text; empty when the file is missing, unreadable
    // or empty.
    static QString readText(const QString &path);
    // The JSON object in text; an empty object when text is no JSON object.
    // parseError, when given, receives the parser's message.
    static QJsonObject parse(const QString &text, QString *parseError = nullptr);
    static QJsonObject readObject(const QString &path) { return parse(readText(path)); }

    // Indented JSON, written whole or not at all: a failed write leaves the
    // previous file as it was.
    static bool write(const QString &path, const QJsonObject &object, QString *error = nullptr);

    // Applies an "UpdateConfig" request to the stored object: a new device
    // (with its version) unless the stored device is the fixed "66", and
    // always a given startTime, all as strings; other keys stay. True when
    // the device changed.
    static bool mergeRequest(QJsonObject &stored, const QJsonObject &request);
};
