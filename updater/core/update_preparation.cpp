#include "updater/core/update_preparation.h"

#include "updater/core/ed25519_signing.h"

namespace updater {

Result<PreparedUpdate> prepareUpdate(const StagingArea& staging, const QString& archivePath, const AppcastItem& item,
                                     const BundleInfo& installed, const ExtractionLimits& limits) {
  Result<PublicKey> key = decodePublicKey(installed.publicEDKey);
  if (!key) return makeError(QStringLiteral("The update cannot be checked: %1").arg(key.error().message));
  if (Status verified = verifyArchiveSignature(archivePath, item.edSignature, item.contentLength, *key); !verified) {
    return verified.error();
  }
  Result<QString> bundle = extractArchive(archivePath, staging.extractionPath(), limits);
  if (!bundle) return bundle.error();
  Result<BundleInfo> info = validateUpdateBundle(*bundle, installed);
  if (!info) return info.error();
  return PreparedUpdate{*bundle, *info};
}

}  // namespace updater
