#include "common/UpdateConfig.h"

#include "common/AtomicFile.h"
#include "common/LenientJson.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

const QString VersionKey = QStringLiteral("version");
const QString NameKey = QStringLiteral("name");
const QString UpdateTimeKey = QStringLiteral("updateTime");
const QString UrlKey = QStringLiteral("url");
const QString SilentKey = QStringLiteral("silent");
const QString StartTimeKey = QStringLiteral("startTime");
const QString DeviceKey = QStringLiteral("device");
const QString PublicKeyKey = QStringLiteral("publicKey");

// The configuration is a few hundred bytes; anything far larger is not ours.
constexpr qint64 ReadLimit = 1 << 20;

} // namespace

quint32 UpdateConfig::startDelayMs(quint32 startTime)
{
    return qBound(MinStartDelayMs, startTime, MaxStartDelayMs);
}

UpdateConfig UpdateConfig::fromObject(const QJsonObject &object)
{
    UpdateConfig config;
    config.version = LenientJson::readUnsigned(object.value(VersionKey));
    config.name = LenientJson::readString(object.value(NameKey));
    config.updateTime = LenientJson::readString(object.value(UpdateTimeKey));
    config.url = LenientJson::readString(object.value(UrlKey));
    config.silent = LenientJson::readUnsigned(object.value(SilentKey));
    config.startTime = LenientJson::readUnsigned(object.value(StartTimeKey));
    // The service stores the device as text, but a number means the same.
    config.device = LenientJson::readText(object.value(DeviceKey));
    config.publicKey = LenientJson::readString(object.value(PublicKeyKey));
    return config;
}

QJsonObject UpdateConfig::toObject() const
{
    QJsonObject object;
    object.insert(VersionKey, QString::number(version));
    object.insert(NameKey, name);
    object.insert(UpdateTimeKey, updateTime);
    object.insert(UrlKey, url);
    object.insert(SilentKey, QString::number(silent));
    object.insert(StartTimeKey, QString::number(startTime));
    object.insert(DeviceKey, device);
    if (!publicKey.isEmpty())
        object.insert(PublicKeyKey, publicKey);
    return object;
}

QString UpdateConfig::decode(QByteArray bytes)
{
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    const QString utf8 = QString::fromUtf8(bytes);
    return utf8.toUtf8() == bytes ? utf8 : QString::fromLatin1(bytes);
}

QString UpdateConfig::readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return decode(file.read(ReadLimit));
}

QJsonObject UpdateConfig::parse(const QString &text, QString *parseError)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (parseError)
        *parseError = error.errorString();
    return document.object();
}

bool UpdateConfig::write(const QString &path, const QJsonObject &object, QString *error)
{
    return AtomicFile::write(path, QJsonDocument(object).toJson(QJsonDocument::Indented), error);
}

bool UpdateConfig::mergeRequest(QJsonObject &stored, const QJsonObject &request)
{
    bool changed = false;
    const QString storedDevice = LenientJson::readText(stored.value(DeviceKey));
    if (request.contains(DeviceKey) && storedDevice != QLatin1String("66")) {
        const QString device = LenientJson::readText(request.value(DeviceKey));
        changed = device != storedDevice;
        stored.insert(DeviceKey, device);
        if (request.contains(VersionKey))
            stored.insert(VersionKey, LenientJson::readText(request.value(VersionKey)));
    }
    if (request.contains(StartTimeKey))
        stored.insert(StartTimeKey, LenientJson::readText(request.value(StartTimeKey)));
    return changed;
}
