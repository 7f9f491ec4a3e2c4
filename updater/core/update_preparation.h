// The checks between a finished download and the install, in the order they must run: the
// archive's signature, then unpacking, then the unpacked bundle's identity and version.
#pragma once

#include "updater/core/appcast.h"
#include "updater/core/archive_extraction.h"
#include "updater/core/bundle_info.h"
#include "updater/core/result.h"
#include "updater/core/staging_area.h"
#include "updater/core/streaming_signature_verifier.h"

#include <QString>

namespace updater {

struct PreparedUpdate {
  QString bundlePath;  // the unpacked bundle, inside the staging area: pass it to installBundle()
  BundleInfo info;     // read from its Info.plist
};

// Checks archivePath (downloaded into the staging area) against item's sparkle:edSignature and
// length with the installed bundle's SUPublicEDKey, unpacks it into staging.extractionPath(),
// and validates the result against the installed bundle (validateUpdateBundle). Fails closed
// at the first problem, with a reason; nothing outside the staging area is touched, so the
// installed bundle is as it was. Blocks while it reads and unpacks.
Result<PreparedUpdate> prepareUpdate(const StagingArea& staging, const QString& archivePath, const AppcastItem& item,
                                     const BundleInfo& installed, const ExtractionLimits& limits = {});

// The same, for an archive whose bytes `verifier` (made with item's signature and the installed
// key) has already hashed as they were stored at archivePath: the signature check costs no
// second pass over the archive. Calls verifier.finish().
Result<PreparedUpdate> prepareUpdate(const StagingArea& staging, const QString& archivePath,
                                     StreamingSignatureVerifier& verifier, const AppcastItem& item,
                                     const BundleInfo& installed, const ExtractionLimits& limits = {});

}  // namespace updater
