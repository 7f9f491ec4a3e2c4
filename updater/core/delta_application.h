// Building the new version of a bundle from the installed one and a delta (delta_format.h).
#pragma once

#include "updater/core/archive_extraction.h"
#include "updater/core/bundle_info.h"
#include "updater/core/delta_format.h"
#include "updater/core/result.h"

#include <QString>

namespace updater {

// Builds the bundle the delta describes inside destinationDir (an existing, empty, private
// folder: a StagingArea's extractionPath()), reading the installed bundle at installedBundlePath
// and never writing to it. Returns the new bundle's path.
//
// Refused, with a reason, before anything is written: a delta made from another bundle or
// version than `installed` (identifier and CFBundleVersion must be equal), an old file that
// is missing, not a regular file (a fifo is refused without being waited on), reached through
// a link, or whose SHA-256 differs from the manifest's (a locally modified bundle). Refused
// while building: a patch or a compressed file that does not decode, any produced file whose
// size or SHA-256 differs from the manifest, and whatever extractArchive() refuses (paths,
// links, duplicates, limits). On failure destinationDir may hold a partial tree: the caller
// discards the staging area.
// Old files are mapped, not read into memory, and each decoded file is decoded in one pass into
// its new file, mapped shared once its blocks are reserved: no decoder window, no heap copy, so
// private memory stays flat whatever the files' sizes (their pages are page cache). Where that
// mapping cannot be made, a file is decoded and written a megabyte at a time, and zstd's
// streaming decoder then keeps a window as large as the frame's (for a patch, about the old
// file's size). Blocks while it works.
Result<QString> applyDelta(const ParsedDelta& delta, const QString& installedBundlePath, const BundleInfo& installed,
                           const QString& destinationDir, const ExtractionLimits& limits = {});

}  // namespace updater
