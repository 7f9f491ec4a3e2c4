#include "updater/core/update_preparation.h"

#include "updater/core/ed25519_signing.h"

#include "foundation/file_descriptor.h"

#include <QFile>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace updater {
namespace {

// Only ever called once the archive's signature has been checked.
Result<PreparedUpdate> unpackVerified(const StagingArea& staging, const QString& archivePath,
                                      const BundleInfo& installed, const ExtractionLimits& limits) {
  Result<QString> bundle = extractArchive(archivePath, staging.extractionPath(), limits);
  if (!bundle) return bundle.error();
  Result<BundleInfo> info = validateUpdateBundle(*bundle, installed);
  if (!info) return info.error();
  return PreparedUpdate{*bundle, *info};
}

}  // namespace

Result<PreparedUpdate> prepareUpdate(const StagingArea& staging, const QString& archivePath, const AppcastItem& item,
                                     const BundleInfo& installed, const ExtractionLimits& limits) {
  Result<PublicKey> key = decodePublicKey(installed.publicEDKey);
  if (!key) return makeError(QStringLiteral("The update cannot be checked: %1").arg(key.error().message));
  if (Status verified = verifyArchiveSignature(archivePath, item.edSignature, item.contentLength, *key); !verified) {
    return verified.error();
  }
  return unpackVerified(staging, archivePath, installed, limits);
}

Result<PreparedUpdate> prepareUpdate(const StagingArea& staging, const QString& archivePath,
                                     StreamingSignatureVerifier& verifier, const AppcastItem& item,
                                     const BundleInfo& installed, const ExtractionLimits& limits) {
  if (item.contentLength < 0) return makeError(QStringLiteral("The feed does not give the update's length."));
  if (verifier.bytesSeen() != static_cast<std::uint64_t>(item.contentLength)) {
    return makeError(QStringLiteral("The update has %1 bytes, but the feed announced %2.")
                         .arg(verifier.bytesSeen())
                         .arg(item.contentLength));
  }
  // What was hashed is what arrived; extraction reads the stored file. They are the same bytes
  // only while each chunk is stored before it is hashed and nothing else writes the file, so
  // the stored size is checked against the hashed length before anything reads it.
  foundation::FileDescriptor stored(::open(QFile::encodeName(archivePath).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!stored || ::fstat(stored.get(), &info) != 0) {
    return makeError(QStringLiteral("The update cannot be read: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
  }
  if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) != verifier.bytesSeen()) {
    return makeError(QStringLiteral("The update cannot be trusted: %1 bytes are stored, but %2 were checked.")
                         .arg(info.st_size)
                         .arg(verifier.bytesSeen()));
  }
  if (Status verified = verifier.finish(archivePath); !verified) return verified.error();
  return unpackVerified(staging, archivePath, installed, limits);
}

}  // namespace updater
