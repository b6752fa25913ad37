#pragma once

#include <QString>

namespace ReceiptLogo {

// The logo address of a receipt: after the first `<img  src="` up to the
// next double quote (or, unquoted, to the next such tag or the end). Empty
// when the receipt has no such tag, or when that picture is written into the
// receipt (a data: address).
QString logoUrl(const QString &content);

} // namespace ReceiptLogo
