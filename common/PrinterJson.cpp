#include "common/PrinterJson.h"

#include "common/AtomicFile.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

CPrinterJson::CPrinterJson(const QString &applicationDir) : m_applicationDir(applicationDir) {}

QString CPrinterJson::resolve(const QString &name) const
{
    QString relative = name;
    if (relative.startsWith(QLatin1String("./")))
        relative = relative.mid(2);
    return QDir(m_applicationDir).filePath(relative);
}

QJsonObject CPrinterJson::readJson(const QString &name) const
{
    QFile file(resolve(name));
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    QByteArray bytes = file.readAll();
    file.close();

    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    // Decoding and encoding again replaces invalid UTF-8 the way text does.
    const QByteArray text = QString::fromUtf8(bytes).toUtf8();
    return QJsonDocument::fromJson(text).object();
}

bool CPrinterJson::writeJson(const QJsonObject &object, const QString &name, QString *error) const
{
    return AtomicFile::write(resolve(name), QJsonDocument(object).toJson(QJsonDocument::Indented), error);
}
