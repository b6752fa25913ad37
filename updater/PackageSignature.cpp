#include "updater/PackageSignature.h"

#include <QFile>
#include <QList>

#include <sodium.h>

#include <cstring>

namespace {

// Two bytes of algorithm before the key id: "Ed" names the key and the old
// signatures over the whole file, "ED" the signatures over the file's hash.
const QByteArray KeyAlgorithm = "Ed";
const QByteArray HashedAlgorithm = "ED";
const QByteArray UntrustedPrefix = "untrusted comment:";
const QByteArray TrustedPrefix = "trusted comment: ";
constexpr int AlgorithmBytes = 2;
constexpr int HashBytes = crypto_generichash_BYTES_MAX;
// A signature file is four short lines; anything much longer is not one.
constexpr int MaxSignatureText = 16 * 1024;
constexpr qint64 BlockBytes = 1 << 16;

bool decodeBase64(const QByteArray &text, int expectedSize, QByteArray *bytes)
{
    const auto result = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != expectedSize)
        return false;
    *bytes = result.decoded;
    return true;
}

bool libraryReady()
{
    // Safe to call again and from any thread; negative only when the
    // library cannot work at all.
    return sodium_init() >= 0;
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

struct PackageSignature::Signature
{
    QByteArray algorithm;
    QByteArray keyId;
    QByteArray fileSignature;
    QByteArray trustedComment;
    QByteArray globalSignature;
};

std::optional<PackageSignature> PackageSignature::fromPublicKey(const QString &keyText, QString *error)
{
    if (!libraryReady()) {
        setError(error, QStringLiteral("the signature library cannot start"));
        return std::nullopt;
    }
    // A whole .pub file carries a comment line before the key line.
    QByteArray keyLine;
    for (const QByteArray &line : keyText.toUtf8().split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (!trimmed.isEmpty() && !trimmed.startsWith(UntrustedPrefix)) {
            keyLine = trimmed;
            break;
        }
    }
    QByteArray key;
    if (!decodeBase64(keyLine, AlgorithmBytes + KeyIdBytes + PublicKeyBytes, &key)
        || !key.startsWith(KeyAlgorithm)) {
        setError(error, QStringLiteral("the public key is not a minisign Ed25519 key"));
        return std::nullopt;
    }
    PackageSignature signature;
    std::memcpy(signature.m_keyId.data(), key.constData() + AlgorithmBytes, KeyIdBytes);
    std::memcpy(signature.m_publicKey.data(), key.constData() + AlgorithmBytes + KeyIdBytes, PublicKeyBytes);
    return signature;
}

bool PackageSignature::parse(const QByteArray &minisigText, Signature *signature, QString *error) const
{
    if (minisigText.size() > MaxSignatureText) {
        setError(error, QStringLiteral("the signature text is too long"));
        return false;
    }
    QList<QByteArray> lines = minisigText.split('\n');
    for (QByteArray &line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
    }
    QByteArray sigBytes;
    if (lines.size() < 4 || !lines[0].startsWith(UntrustedPrefix) || !lines[2].startsWith(TrustedPrefix)
        || !decodeBase64(lines[1], AlgorithmBytes + KeyIdBytes + SignatureBytes, &sigBytes)
        || !decodeBase64(lines[3], SignatureBytes, &signature->globalSignature)) {
        setError(error, QStringLiteral("the signature is not a minisign signature"));
        return false;
    }
    signature->algorithm = sigBytes.left(AlgorithmBytes);
    signature->keyId = sigBytes.mid(AlgorithmBytes, KeyIdBytes);
    signature->fileSignature = sigBytes.mid(AlgorithmBytes + KeyIdBytes);
    signature->trustedComment = lines[2].mid(TrustedPrefix.size());
    if (signature->algorithm == KeyAlgorithm) {
        // The old form signs the whole file, which would have to be held in
        // memory at once: packages are signed by their hash.
        setError(error, QStringLiteral("the signature is of the legacy kind over the whole file; sign the package again without -l"));
        return false;
    }
    if (signature->algorithm != HashedAlgorithm) {
        setError(error, QStringLiteral("the signature uses an unknown algorithm"));
        return false;
    }
    if (std::memcmp(signature->keyId.constData(), m_keyId.data(), KeyIdBytes) != 0) {
        setError(error, QStringLiteral("the signature was made with another key (id %1, expected %2)")
                            .arg(QString::fromLatin1(signature->keyId.toHex().toUpper()),
                                 QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(m_keyId.data()), KeyIdBytes)
                                                         .toHex()
                                                         .toUpper())));
        return false;
    }
    return true;
}

bool PackageSignature::hashFile(const QString &path, unsigned char *hash, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        setError(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, HashBytes);
    QByteArray block(int(BlockBytes), Qt::Uninitialized);
    qint64 read = 0;
    while ((read = file.read(block.data(), BlockBytes)) > 0)
        crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(block.constData()), quint64(read));
    if (read < 0) {
        setError(error, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    crypto_generichash_final(&state, hash, HashBytes);
    return true;
}

bool PackageSignature::verifies(const unsigned char *signature, const unsigned char *message, size_t size) const
{
    return crypto_sign_verify_detached(signature, message, size, m_publicKey.data()) == 0;
}

bool PackageSignature::verifyFile(const QString &path, const QByteArray &minisigText, QString *error) const
{
    Signature signature;
    if (!libraryReady()) {
        setError(error, QStringLiteral("the signature library cannot start"));
        return false;
    }
    if (!parse(minisigText, &signature, error))
        return false;
    unsigned char hash[HashBytes];
    if (!hashFile(path, hash, error))
        return false;
    const auto *fileSignature = reinterpret_cast<const unsigned char *>(signature.fileSignature.constData());
    if (!verifies(fileSignature, hash, HashBytes)) {
        setError(error, QStringLiteral("the signature does not match the file"));
        return false;
    }
    const QByteArray signedComment = signature.fileSignature + signature.trustedComment;
    if (!verifies(reinterpret_cast<const unsigned char *>(signature.globalSignature.constData()),
                  reinterpret_cast<const unsigned char *>(signedComment.constData()), size_t(signedComment.size()))) {
        setError(error, QStringLiteral("the trusted comment does not match its signature"));
        return false;
    }
    return true;
}
