#include "updater/core/delta_preparation.h"

#include "updater/core/delta_application.h"
#include "updater/core/ed25519_signing.h"
#include "updater/core/mapped_file.h"

namespace updater {

Result<PreparedUpdate> prepareDeltaUpdate(const StagingArea& staging, const QString& deltaPath, const AppcastDelta& delta,
                                          const QString& installedBundlePath, const BundleInfo& installed,
                                          const ExtractionLimits& limits) {
  Result<PublicKey> key = decodePublicKey(installed.publicEDKey);
  if (!key) return makeError(QStringLiteral("The delta cannot be checked: %1").arg(key.error().message));
  if (Status verified = verifyArchiveSignature(deltaPath, delta.edSignature, delta.contentLength, *key); !verified) {
    return verified.error();
  }
  Result<MappedFile> file = MappedFile::open(deltaPath);
  if (!file) return file.error();
  Result<ParsedDelta> parsed = readDelta(file->data(), file->size(), limits);
  if (!parsed) return parsed.error();
  Result<QString> bundle = applyDelta(*parsed, installedBundlePath, installed, staging.extractionPath(), limits);
  if (!bundle) return bundle.error();
  Result<BundleInfo> info = validateUpdateBundle(*bundle, installed);
  if (!info) return info.error();
  if (info->version != parsed->manifest.to.version || info->identifier != parsed->manifest.to.identifier) {
    return makeError(QStringLiteral("The delta built version %1, not the %2 its manifest promised.").arg(info->version, parsed->manifest.to.version));
  }
  return PreparedUpdate{*bundle, *info};
}

}  // namespace updater
