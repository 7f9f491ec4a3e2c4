// The publisher's side of deltas: making one from two unpacked bundles.
#pragma once

#include "updater/core/result.h"

#include <QByteArray>
#include <QString>

namespace updater {

// A delta (delta_format.h) that turns the bundle at oldBundlePath into the one at newBundlePath:
// every entry of the new bundle, in name order with parents first; a file equal to the old
// file at the same path is "unchanged", a changed one a zstd patch against it (or carried whole
// when that is smaller), an added one carried whole. The identifiers and versions come from each
// bundle's Info.plist. Refused: a bundle without a readable Info.plist, an item that is neither a
// folder, a regular file nor a symbolic link, an unreadable file. Blocks while it compresses.
// compressionLevel is zstd's; the publisher's level makes the smallest deltas, slowly (minutes per
// 100 MB of a changed file); a lower one is for tools that measure applying a delta, not its size.
constexpr int kPublisherCompressionLevel = 19;
Result<QByteArray> makeDelta(const QString& oldBundlePath, const QString& newBundlePath,
                             int compressionLevel = kPublisherCompressionLevel);

}  // namespace updater
