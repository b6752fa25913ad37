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

bool isImageMediaType(const QByteArray &type)
{
    static const QList<QByteArray> Types{"image/png", "image/jpeg", "image/jpg", "image/gif"};
    return Types.contains(type.trimmed().toLower());
}

// Formats as the image reader names them.
bool isReceiptFormat(const QByteArray &format)
{
    return format == "png" || format == "jpeg" || format == "jpg" || format == "gif";
}

} // namespace

ReceiptDocument::ReceiptDocument(QObject *parent) : QTextDocument(parent) {}

QStringList ReceiptDocument::setReceiptHtml(const QString &html)
{
    setHtml(html);
    const QStringList dropped = dropUnloadableImages();
    sizeImages();
    return dropped;
}

QByteArray ReceiptDocument::decodeDataUrl(const QUrl &name)
{
    // Kept encoded, so that a percent-escaped comma cannot end the header.
    const QByteArray address = name.toEncoded();
    const int comma = address.indexOf(',');
    if (!address.startsWith("data:") || comma < 0)
        return QByteArray();
    QList<QByteArray> parameters = address.mid(5, comma - 5).split(';');
    const bool isBase64 = parameters.size() > 1 && parameters.last().trimmed().toLower() == "base64";
    if (!isImageMediaType(QByteArray::fromPercentEncoding(parameters.first())))
        return QByteArray();
    const QByteArray payload = QByteArray::fromPercentEncoding(address.mid(comma + 1));
    // Base64 holds three bytes in four characters; checked before decoding.
    const qint64 decodedAtMost = isBase64 ? (qint64(payload.size()) / 4 + 1) * 3 : payload.size();
    if (decodedAtMost > MaxResourceBytes + 3)
        return QByteArray();
    QByteArray bytes = isBase64 ? QByteArray::fromBase64(payload) : payload;
    if (bytes.size() > MaxResourceBytes)
        return QByteArray();
    return bytes;
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
    const bool isInline = name.scheme() == QLatin1String("data");
    QByteArray bytes = isInline ? decodeDataUrl(name) : readResourceFile(name);
    if (bytes.isEmpty())
        return QImage();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // What a page writes inline is held to the formats a browser takes too.
    if (isInline && !isReceiptFormat(reader.format()))
        return QImage();
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
QStringList ReceiptDocument::dropUnloadableImages()
{
    QStringList dropped;
    QVector<std::pair<int, int>> unloadable; // position, length
    for (QTextBlock block = begin(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            if (!format.isImageFormat())
                continue;
            const QString source = format.toImageFormat().name();
            if (!resource(ImageResource, QUrl(source)).isNull())
                continue;
            unloadable.append({fragment.position(), fragment.length()});
            const QString told = source.left(MaxToldSourceChars);
            if (!dropped.contains(told))
                dropped.append(told);
        }
    }
    QTextCursor cursor(this);
    for (int i = unloadable.size() - 1; i >= 0; --i) {
        cursor.setPosition(unloadable.at(i).first);
        cursor.setPosition(unloadable.at(i).first + unloadable.at(i).second, QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    return dropped;
}

// The rich-text engine takes the picture's own height when only the width is
// given (and the other way round), which squashes a logo written with just a
// width; a browser keeps the proportions, and receipts are written for one.
void ReceiptDocument::sizeImages()
{
    QVector<std::pair<QTextCursor, QTextImageFormat>> resized;
    for (QTextBlock block = begin(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.charFormat().isImageFormat())
                continue;
            QTextImageFormat format = fragment.charFormat().toImageFormat();
            const bool hasWidth = format.hasProperty(QTextFormat::ImageWidth);
            const bool hasHeight = format.hasProperty(QTextFormat::ImageHeight);
            if (hasWidth == hasHeight)
                continue;
            const QImage image = resource(ImageResource, QUrl(format.name())).value<QImage>();
            if (image.isNull() || image.width() <= 0 || image.height() <= 0)
                continue;
            if (hasWidth)
                format.setHeight(format.width() * image.height() / image.width());
            else
                format.setWidth(format.height() * image.width() / image.height());
            QTextCursor cursor(this);
            cursor.setPosition(fragment.position());
            cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            resized.append({cursor, format});
        }
    }
    // Changed after the walk: a change while walking would move the fragments.
    for (auto &entry : resized)
        entry.first.setCharFormat(entry.second);
}
