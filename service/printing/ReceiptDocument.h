#pragma once

#include <QImage>
#include <QTextDocument>
#include <QUrl>

// A receipt as rich text that loads only what a receipt can show: pictures
// from regular local files of bounded size. A receipt naming a device, a
// pipe, a huge file or a picture that does not decode simply lacks that
// picture: no placeholder icon, no read that never ends.
class ReceiptDocument : public QTextDocument
{
public:
    // Larger than any logo the loader keeps.
    static constexpr qint64 MaxResourceBytes = 8 * 1024 * 1024;
    // A small file can still decode into a huge picture; 4096 x 4096 is far
    // beyond any receipt printer.
    static constexpr qint64 MaxImagePixels = 4096 * 4096;

    explicit ReceiptDocument(QObject *parent = nullptr);

    // setHtml, then the pictures that cannot be loaded are taken out.
    void setReceiptHtml(const QString &html);

    // The contents of a regular local file of at most MaxResourceBytes;
    // null for anything else.
    static QByteArray readResourceFile(const QUrl &name);
    static QImage loadImage(const QUrl &name);

protected:
    QVariant loadResource(int type, const QUrl &name) override;

private:
    void dropUnloadableImages();
};
