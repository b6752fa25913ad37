#include "service/printing/ReceiptDocument.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QTextBlock>
#include <QTextCursor>
#include <QVector>

#include <utility>

namespace {

QString localPath(const QUrl &name)
{
    if (name.isLocalFile())
        return name.toLocalFile();
    if (name.scheme().isEmpty())
        return name.path();
    return QString();
}

} // namespace

ReceiptDocument::ReceiptDocument(QObject *parent) : QTextDocument(parent) {}

void ReceiptDocument::setReceiptHtml(const QString &html)
{
    setHtml(html);
    dropUnloadableImages();
}

QByteArray ReceiptDocument::readResourceFile(const QUrl &name)
{
    // Only a regular file is opened: opening a pipe waits for a writer, and
    // a device can be read without end.
    const QString path = localPath(name);
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile() || info.size() > MaxResourceBytes)
        return QByteArray();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    // The file may have grown since it was looked at.
    QByteArray bytes = file.read(MaxResourceBytes + 1);
    if (bytes.size() > MaxResourceBytes)
        return QByteArray();
    return bytes;
}

QImage ReceiptDocument::loadImage(const QUrl &name)
{
    QByteArray bytes = readResourceFile(name);
    if (bytes.isEmpty())
        return QImage();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid() || qint64(size.width()) * size.height() > MaxImagePixels)
        return QImage();
    return reader.read();
}

QVariant ReceiptDocument::loadResource(int type, const QUrl &name)
{
    QVariant resource;
    if (type == ImageResource) {
        const QImage image = loadImage(name);
        if (!image.isNull())
            resource = image;
    } else {
        const QByteArray bytes = readResourceFile(name);
        if (!bytes.isNull())
            resource = bytes;
    }
    // Layout asks for a picture more than once; read it once.
    if (resource.isValid())
        addResource(type, name, resource);
    return resource;
}

// The rich-text engine draws a placeholder icon for a picture it cannot
// load; a receipt without the picture is what the cashier expects.
void ReceiptDocument::dropUnloadableImages()
{
    QVector<std::pair<int, int>> unloadable; // position, length
    for (QTextBlock block = begin(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            if (!format.isImageFormat())
                continue;
            if (resource(ImageResource, QUrl(format.toImageFormat().name())).isNull())
                unloadable.append({fragment.position(), fragment.length()});
        }
    }
    QTextCursor cursor(this);
    for (int i = unloadable.size() - 1; i >= 0; --i) {
        cursor.setPosition(unloadable.at(i).first);
        cursor.setPosition(unloadable.at(i).first + unloadable.at(i).second, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
}
