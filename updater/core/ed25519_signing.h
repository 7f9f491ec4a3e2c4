// Ed25519 keys and signatures (libsodium): checking update archives and signed feeds, and the
// publisher's side (key pairs, signing).
#pragma once

#include "updater/core/result.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

namespace updater {

struct PublicKey {
  std::array<std::uint8_t, 32> bytes{};
};

// Decodes a SUPublicEDKey value: strict base64 (surrounding white space allowed) of exactly 32
// bytes. An empty string is refused ("no public key").
Result<PublicKey> decodePublicKey(const QString& base64);

// Decodes a detached signature: strict base64 of exactly 64 bytes.
Result<QByteArray> decodeSignature(const QString& base64);

// Checks an Ed25519 signature over the whole file at archivePath. Fails closed with a reason when
// the signature is missing, not base64, the wrong size, when expectedLength (the feed's enclosure
// length) is unknown (negative) or differs from the file's size, when the file cannot be read, or
// when the signature does not match. Reads the file (memory-mapped); blocks for the time that takes.
Status verifyArchiveSignature(const QString& archivePath, const QString& signatureBase64,
                              qint64 expectedLength, const PublicKey& key);

// The same check over bytes already in memory.
Status verifySignature(const QByteArray& message, const QString& signatureBase64,
                       const PublicKey& key);

// The publisher's side.
struct KeyPair {
  PublicKey publicKey;
  QByteArray secretKey;  // libsodium's 64-byte secret key (seed followed by the public key)
};
KeyPair generateKeyPair();
QString encodePublicKey(const PublicKey& key);  // base64, as SUPublicEDKey expects it

// Private key files hold one line: the base64 of the 32-byte seed. Written with mode 0600;
// an existing file is never overwritten.
Status writePrivateKeyFile(const QString& path, const KeyPair& pair);
Result<KeyPair> readPrivateKeyFile(const QString& path);

// Base64 of the 64-byte detached signature of message (or of the whole file at path).
QString signBytes(const QByteArray& message, const KeyPair& pair);
Result<QString> signFile(const QString& path, const KeyPair& pair);

}  // namespace updater
