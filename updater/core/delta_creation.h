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
Result<QByteArray> makeDelta(const QString& oldBundlePath, const QString& newBundlePath);

}  // namespace updater
