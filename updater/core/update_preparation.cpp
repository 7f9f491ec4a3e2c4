#include "updater/core/update_preparation.h"

#include "updater/core/ed25519_signing.h"

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
  if (Status verified = verifier.finish(archivePath); !verified) return verified.error();
  return unpackVerified(staging, archivePath, installed, limits);
}

}  // namespace updater
