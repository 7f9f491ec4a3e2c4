#include "updater/core/ed25519_signing.h"

#include "foundation/file_descriptor.h"

#include "updater/core/mapped_file.h"

#include <QFile>

#include <sodium.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace updater {
namespace {

bool ensureSodium() {
  static const bool ready = sodium_init() >= 0;  // idempotent and thread-safe
  return ready;
}

// Strict base64 (standard alphabet, padding required), white space around it allowed.
std::optional<QByteArray> decodeBase64(const QString& text) {
  const QByteArray ascii = text.trimmed().toLatin1();
  QByteArray decoded(ascii.size(), Qt::Uninitialized);
  size_t length = 0;
  const char* end = nullptr;
  if (ascii.isEmpty() ||
      sodium_base642bin(reinterpret_cast<unsigned char*>(decoded.data()), decoded.size(), ascii.constData(),
                        ascii.size(), nullptr, &length, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      end != ascii.constData() + ascii.size()) {
    return std::nullopt;
  }
  decoded.truncate(static_cast<qsizetype>(length));
  return decoded;
}

QString encodeBase64(const unsigned char* bytes, size_t length) {
  QByteArray out(static_cast<qsizetype>(sodium_base64_ENCODED_LEN(length, sodium_base64_VARIANT_ORIGINAL)), Qt::Uninitialized);
  sodium_bin2base64(out.data(), out.size(), bytes, length, sodium_base64_VARIANT_ORIGINAL);
  return QString::fromLatin1(out.constData());  // stops at the terminating zero
}

QString osError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

bool verifyBytes(const unsigned char* message, size_t length, const QByteArray& signature, const PublicKey& key) {
  return crypto_sign_verify_detached(reinterpret_cast<const unsigned char*>(signature.constData()), message,
                                     length, key.bytes.data()) == 0;
}

KeyPair keyPairFromSeed(const unsigned char* seed) {
  KeyPair pair;
  pair.secretKey = QByteArray(crypto_sign_SECRETKEYBYTES, Qt::Uninitialized);
  crypto_sign_seed_keypair(pair.publicKey.bytes.data(), reinterpret_cast<unsigned char*>(pair.secretKey.data()), seed);
  return pair;
}

}  // namespace

Result<PublicKey> decodePublicKey(const QString& base64) {
  if (base64.trimmed().isEmpty()) return makeError(QStringLiteral("No public key (SUPublicEDKey) is set."));
  const std::optional<QByteArray> bytes = decodeBase64(base64);
  if (!bytes) return makeError(QStringLiteral("The public key (SUPublicEDKey) is not valid base64."));
  if (bytes->size() != crypto_sign_PUBLICKEYBYTES) {
    return makeError(QStringLiteral("The public key (SUPublicEDKey) has %1 bytes instead of %2.")
                         .arg(bytes->size())
                         .arg(crypto_sign_PUBLICKEYBYTES));
  }
  PublicKey key;
  std::memcpy(key.bytes.data(), bytes->constData(), key.bytes.size());
  return key;
}

Result<QByteArray> decodeSignature(const QString& base64) {
  if (base64.trimmed().isEmpty()) return makeError(QStringLiteral("There is no signature."));
  std::optional<QByteArray> bytes = decodeBase64(base64);
  if (!bytes) return makeError(QStringLiteral("The signature is not valid base64."));
  if (bytes->size() != crypto_sign_BYTES) {
    return makeError(QStringLiteral("The signature has %1 bytes instead of %2.")
                         .arg(bytes->size())
                         .arg(crypto_sign_BYTES));
  }
  return std::move(*bytes);
}

Status verifyArchiveSignature(const QString& archivePath, const QString& signatureBase64, qint64 expectedLength,
                              const PublicKey& key) {
  if (!ensureSodium()) return makeError(QStringLiteral("The signature library could not start."));
  Result<QByteArray> signature = decodeSignature(signatureBase64);
  if (!signature) return makeError(QStringLiteral("The update cannot be trusted: %1").arg(signature.error().message));
  Result<MappedFile> file = MappedFile::open(archivePath);
  if (!file) return file.error();
  if (expectedLength < 0) return makeError(QStringLiteral("The feed does not give the update's length."));
  if (static_cast<qint64>(file->size()) != expectedLength) {
    return makeError(QStringLiteral("The update has %1 bytes, but the feed announced %2.")
                         .arg(file->size())
                         .arg(expectedLength));
  }
  if (!verifyBytes(file->data(), file->size(), *signature, key)) {
    return makeError(QStringLiteral("The update cannot be trusted: its signature does not match its contents and the publisher's key."));
  }
  return Status::ok();
}

Status verifySignature(const QByteArray& message, const QString& signatureBase64, const PublicKey& key) {
  if (!ensureSodium()) return makeError(QStringLiteral("The signature library could not start."));
  Result<QByteArray> signature = decodeSignature(signatureBase64);
  if (!signature) return signature.error();
  if (!verifyBytes(reinterpret_cast<const unsigned char*>(message.constData()), static_cast<size_t>(message.size()),
                   *signature, key)) {
    return makeError(QStringLiteral("It does not match the signed bytes and the publisher's key."));
  }
  return Status::ok();
}

KeyPair generateKeyPair() {
  ensureSodium();
  unsigned char seed[crypto_sign_SEEDBYTES];
  randombytes_buf(seed, sizeof seed);
  KeyPair pair = keyPairFromSeed(seed);
  sodium_memzero(seed, sizeof seed);
  return pair;
}

QString encodePublicKey(const PublicKey& key) { return encodeBase64(key.bytes.data(), key.bytes.size()); }

Status writePrivateKeyFile(const QString& path, const KeyPair& pair) {
  ensureSodium();
  // The seed is the first half of libsodium's secret key.
  const QByteArray line =
      encodeBase64(reinterpret_cast<const unsigned char*>(pair.secretKey.constData()), crypto_sign_SEEDBYTES).toLatin1() + '\n';
  const QByteArray native = QFile::encodeName(path);
  const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) return makeError(QStringLiteral("%1 already exists; a key file is never overwritten.").arg(path));
    return makeError(QStringLiteral("Cannot create %1: %2").arg(path, osError(errno)));
  }
  // The umask can only have narrowed 0600; make it exactly that.
  int error = ::fchmod(fd, 0600) == 0 ? foundation::writeAll(fd, line.constData(), static_cast<std::size_t>(line.size())) : errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(native.constData());
    return makeError(QStringLiteral("Cannot write %1: %2").arg(path, osError(error)));
  }
  return Status::ok();
}

Result<KeyPair> readPrivateKeyFile(const QString& path) {
  ensureSodium();
  const QByteArray native = QFile::encodeName(path);
  const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a fifo is refused, not waited on
  if (fd < 0) return makeError(QStringLiteral("Cannot open the key file %1: %2").arg(path, osError(errno)));
  struct stat info {};
  char buffer[512];
  ssize_t length = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) length = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (!S_ISREG(info.st_mode)) return makeError(QStringLiteral("The key file %1 is not a regular file.").arg(path));
  if ((info.st_mode & 077) != 0) {
    return makeError(QStringLiteral("The key file %1 can be read by others (mode %2); it must be 0600.")
                         .arg(path)
                         .arg(info.st_mode & 0777, 4, 8, QLatin1Char('0')));
  }
  if (length <= 0 || static_cast<size_t>(length) == sizeof buffer) {
    return makeError(QStringLiteral("The key file %1 is not a key file of this tool.").arg(path));
  }
  std::optional<QByteArray> seed = decodeBase64(QString::fromLatin1(buffer, length));
  sodium_memzero(buffer, sizeof buffer);
  if (!seed || seed->size() != crypto_sign_SEEDBYTES) {
    return makeError(QStringLiteral("The key file %1 is not a key file of this tool.").arg(path));
  }
  KeyPair pair = keyPairFromSeed(reinterpret_cast<const unsigned char*>(seed->constData()));
  sodium_memzero(seed->data(), seed->size());
  return pair;
}

QString signBytes(const QByteArray& message, const KeyPair& pair) {
  ensureSodium();
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.constData()),
                       static_cast<size_t>(message.size()), reinterpret_cast<const unsigned char*>(pair.secretKey.constData()));
  return encodeBase64(signature, sizeof signature);
}

Result<QString> signFile(const QString& path, const KeyPair& pair) {
  ensureSodium();
  Result<MappedFile> file = MappedFile::open(path);
  if (!file) return file.error();
  unsigned char signature[crypto_sign_BYTES];
  crypto_sign_detached(signature, nullptr, file->data(), file->size(),
                       reinterpret_cast<const unsigned char*>(pair.secretKey.constData()));
  return encodeBase64(signature, sizeof signature);
}

}  // namespace updater
