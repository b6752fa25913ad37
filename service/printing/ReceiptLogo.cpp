#include "service/printing/ReceiptLogo.h"

namespace ReceiptLogo {

QString logoUrl(const QString &content)
{
    static const QString Marker = QStringLiteral("<img  src=");
    static const QString QuotedMarker = QStringLiteral("<img  src=\"");
    if (!content.contains(Marker))
        return QString();
    const int tag = content.indexOf(QuotedMarker);
    if (tag < 0)
        return QString();
    const int start = tag + QuotedMarker.size();
    int end = content.indexOf(QLatin1Char('"'), start);
    if (end < 0)
        end = content.indexOf(QuotedMarker, start);
    if (end < 0)
        end = content.size();
    const QString url = content.mid(start, end - start);
    // A picture written into the receipt needs no download, and its local
    // copy would never come.
    if (url.trimmed().startsWith(QLatin1String("data:"), Qt::CaseInsensitive))
        return QString();
    return url;
}

} // namespace ReceiptLogo
