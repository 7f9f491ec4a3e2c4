// The checks between a downloaded delta and the install, the delta's counterpart of
// prepareUpdate(): signature, then the delta built against the installed bundle, then the
// built bundle's identity and version.
#pragma once

#include "updater/core/appcast.h"
#include "updater/core/update_preparation.h"

namespace updater {

// Checks deltaPath (downloaded into the staging area) against delta's sparkle:edSignature and
// length with the installed bundle's SUPublicEDKey before reading any of it, builds the new bundle
// from the installed one into staging.extractionPath() (applyDelta), and validates it like an
// unpacked archive (validateUpdateBundle), also checking it is the version the delta promised.
// Fails closed at the first problem, with a reason; the installed bundle is never written to.
// The caller falls back to the full archive in a fresh staging area. Blocks while it works.
Result<PreparedUpdate> prepareDeltaUpdate(const StagingArea& staging, const QString& deltaPath, const AppcastDelta& delta,
                                          const QString& installedBundlePath, const BundleInfo& installed,
                                          const ExtractionLimits& limits = {});

}  // namespace updater
