#pragma once

#include <QJsonObject>
#include <QString>

// Whole-file JSON objects beside the program. Names are relative ("./x.json")
// and always resolved against the application folder, never the working one.
class CPrinterJson
{
public:
    explicit CPrinterJson(const QString &applicationDir);

    // The object in the file; an empty object when the file is missing,
    // empty, not JSON or not an object. Bytes after a zero byte are ignored.
    QJsonObject readJson(const QString &name) const;
    // Writes the object indented, replacing the file as one step (see
    // AtomicFile): after a failure the previous file is intact. False, with
    // *error saying why, when the file could not be replaced; the caller
    // logs it.
    bool writeJson(const QJsonObject &object, const QString &name, QString *error = nullptr) const;

    QString resolve(const QString &name) const;

private:
    QString m_applicationDir;
};
