// Deltas on the publisher's side: making one from two release archives, and proving that it
// reproduces the new release before anyone ships it.
#pragma once

#include "updater/core/result.h"

#include <QByteArray>
#include <QString>

namespace publisher {

struct MadeDelta {
  QByteArray bytes;
  QString fromVersion;  // CFBundleVersion of the old release: the feed's sparkle:deltaFrom
  QString toVersion;
};

// Unpacks both archives (with the updater's own checks), makes the delta between their bundles,
// and verifies it (verifyDeltaAgainst) before returning it.
updater::Result<MadeDelta> makeVerifiedDelta(const QString& oldArchive, const QString& newArchive);

// Applies the delta at deltaPath to the old release (an archive, or an unpacked bundle folder),
// in a temporary folder, and compares the result with the bundle in newArchive: every entry,
// contents, modes and link targets. An error names the first difference. Returns the delta's
// sparkle:deltaFrom version.
updater::Result<QString> verifyDelta(const QString& oldRelease, const QString& newArchive, const QString& deltaPath);

// The deltaFrom version a delta file starts from, read from its manifest.
updater::Result<QString> deltaFromVersion(const QString& deltaPath);

}  // namespace publisher
