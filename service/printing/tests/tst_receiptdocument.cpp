// Pictures in a receipt: which load, and the size they are laid out at.

#include "service/printing/ReceiptDocument.h"

#include <QBuffer>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

namespace {

QByteArray encoded(const QImage &image, const char *format)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage picture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::black);
    return image;
}

QString base64Url(const QByteArray &type, const QByteArray &bytes)
{
    return QString::fromLatin1("data:" + type + ";base64," + bytes.toBase64());
}

// The laid-out size of every picture of the document, in order.
QList<QSizeF> pictureSizes(ReceiptDocument &document)
{
    QList<QSizeF> sizes;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (!format.isImageFormat())
                continue;
            const QTextImageFormat image = format.toImageFormat();
            QSizeF size(image.width(), image.height());
            // Neither given: the rich-text engine draws the picture's own size.
            if (!image.hasProperty(QTextFormat::ImageWidth) && !image.hasProperty(QTextFormat::ImageHeight))
                size = document.resource(QTextDocument::ImageResource, QUrl(image.name())).value<QImage>().size();
            sizes.append(size);
        }
    }
    return sizes;
}

} // namespace

class TestReceiptDocument : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(m_folder.isValid());
        QVERIFY(picture(300, 100).save(m_folder.filePath(QStringLiteral("logo.png"))));
    }

    void sizedAsInABrowser_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("attributes");
        QTest::addColumn<QSizeF>("expected");

        const QString file = QStringLiteral("<folder>/logo.png");
        const QString png = base64Url("image/png", encoded(picture(300, 100), "PNG"));
        QTest::newRow("file, width only") << file << "width=\"120\"" << QSizeF(120, 40);
        QTest::newRow("file, height only") << file << "height=\"50\"" << QSizeF(150, 50);
        QTest::newRow("file, both") << file << "width=\"120\" height=\"20\"" << QSizeF(120, 20);
        QTest::newRow("file, neither") << file << "" << QSizeF(300, 100);
        QTest::newRow("png inline, width only") << png << "width=\"120\"" << QSizeF(120, 40);
        QTest::newRow("jpeg inline, neither")
            << base64Url("image/jpeg", encoded(picture(300, 100), "JPEG")) << "" << QSizeF(300, 100);
        QTest::newRow("gif inline, height only")
            << base64Url("image/gif", QByteArray::fromBase64("R0lGODlhAwABAIAAAAAAAP///ywAAAAAAwABAAACAoRRADs="))
            << "height=\"50\"" << QSizeF(150, 50);
        QTest::newRow("percent-encoded inline")
            << QString::fromLatin1("data:image/png," + encoded(picture(300, 100), "PNG").toPercentEncoding())
            << "width=\"60\"" << QSizeF(60, 20);
    }

    void sizedAsInABrowser()
    {
        QFETCH(QString, source);
        QFETCH(QString, attributes);
        QFETCH(QSizeF, expected);
        source.replace(QLatin1String("<folder>"), m_folder.path());

        ReceiptDocument document;
        const QStringList dropped
            = document.setReceiptHtml(QStringLiteral("<p>A</p><img  src=\"%1\" %2><p>B</p>").arg(source, attributes));
        QCOMPARE(dropped, QStringList());
        QCOMPARE(pictureSizes(document), QList<QSizeF>{expected});
    }

    void unloadableInlinePictureIsDropped_data()
    {
        QTest::addColumn<QString>("source");

        const QByteArray png = encoded(picture(30, 10), "PNG");
        QTest::newRow("not a picture type") << base64Url("text/plain", png);
        QTest::newRow("vector picture") << base64Url("image/svg+xml", "<svg xmlns='http://www.w3.org/2000/svg'/>");
        QTest::newRow("type says png, bytes are not") << base64Url("image/png", QByteArray(64, 'x'));
        QTest::newRow("bytes of another format") << base64Url("image/png", encoded(picture(30, 10), "BMP"));
        QTest::newRow("no comma") << QStringLiteral("data:image/png;base64");
        QImage huge(4097, 4096, QImage::Format_Mono);
        huge.fill(0);
        QTest::newRow("beyond the pixel bound") << base64Url("image/png", encoded(huge, "PNG"));
        QTest::newRow("beyond the byte bound")
            << base64Url("image/png", png + QByteArray(ReceiptDocument::MaxResourceBytes, '\0'));
    }

    // Left out (no placeholder), and told once, cut short.
    void unloadableInlinePictureIsDropped()
    {
        QFETCH(QString, source);
        ReceiptDocument document;
        const QString html = QStringLiteral("<p>A</p><img src=\"%1\" width=\"10\"><img src=\"%1\"><p>B</p>").arg(source);
        QCOMPARE(document.setReceiptHtml(html), QStringList{source.left(ReceiptDocument::MaxToldSourceChars)});
        QCOMPARE(pictureSizes(document), QList<QSizeF>());
        const QString text = document.toPlainText();
        QVERIFY(text.contains(QLatin1Char('A')) && text.contains(QLatin1Char('B')));
        QVERIFY(!text.contains(QChar::ObjectReplacementCharacter));
    }

private:
    QTemporaryDir m_folder;
};

QTEST_MAIN(TestReceiptDocument)
#include "tst_receiptdocument.moc"
