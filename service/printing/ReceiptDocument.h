#pragma once

#include <QImage>
#include <QStringList>
#include <QTextDocument>
#include <QUrl>

// A receipt as rich text that loads only what a receipt can show: pictures
// from regular local files of bounded size, and PNG, JPEG or GIF pictures
// written into the receipt as data: addresses (a payment QR code). A receipt
// naming a device, a pipe, a huge file or a picture that does not decode
// simply lacks that picture: no placeholder icon, no read that never ends.
// Pictures are sized as a browser sizes them: one of width and height given,
// the other follows the picture's proportions.
class ReceiptDocument : public QTextDocument
{
public:
    // Larger than any logo the loader keeps.
    static constexpr qint64 MaxResourceBytes = 8 * 1024 * 1024;
    // A small file can still decode into a huge picture; 4096 x 4096 is far
    // beyond any receipt printer.
    static constexpr qint64 MaxImagePixels = 4096 * 4096;

    explicit ReceiptDocument(QObject *parent = nullptr);

    // Sources are told cut to this many characters: a data: address can be
    // megabytes long.
    static constexpr int MaxToldSourceChars = 100;

    // setHtml, then the pictures that cannot be loaded are taken out and the
    // others sized. Returns the sources taken out, each once, cut to
    // MaxToldSourceChars.
    QStringList setReceiptHtml(const QString &html);

    // The contents of a regular local file of at most MaxResourceBytes;
    // null for anything else.
    static QByteArray readResourceFile(const QUrl &name);
    static QImage loadImage(const QUrl &name);
    // The bytes of a data: address (base64 or percent-encoded); null when
    // malformed, not PNG, JPEG or GIF, or larger than MaxResourceBytes.
    static QByteArray decodeDataUrl(const QUrl &name);

protected:
    QVariant loadResource(int type, const QUrl &name) override;

private:
    QStringList dropUnloadableImages();
    void sizeImages();
};
