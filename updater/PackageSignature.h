#pragma once

#include <QByteArray>
#include <QString>

#include <array>
#include <optional>

// A publisher's minisign key and the check of a package against it: the
// Ed25519 signature over the BLAKE2b-512 hash of the file, tied to the key by
// its id, and the second signature that covers the trusted comment.
class PackageSignature
{
public:
    // A minisign public key: the base64 key line (alone, or a whole .pub file's text).
    // Empty optional and *error set when it is not a valid Ed25519 minisign key.
    static std::optional<PackageSignature> fromPublicKey(const QString &keyText, QString *error);
    // Verifies the text of a .minisig file over the file at path, reading it in blocks.
    bool verifyFile(const QString &path, const QByteArray &minisigText, QString *error) const;

    static constexpr int KeyIdBytes = 8;
    static constexpr int PublicKeyBytes = 32;
    static constexpr int SignatureBytes = 64;

private:
    struct Signature;

    PackageSignature() = default;
    bool parse(const QByteArray &minisigText, Signature *signature, QString *error) const;
    static bool hashFile(const QString &path, unsigned char *hash, QString *error);
    bool verifies(const unsigned char *signature, const unsigned char *message, size_t size) const;

    std::array<unsigned char, KeyIdBytes> m_keyId{};
    std::array<unsigned char, PublicKeyBytes> m_publicKey{};
};
