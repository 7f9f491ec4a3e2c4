// Putting a verified bundle in place of the installed one, so that at every instant the
// installed path holds either the complete old bundle or the complete new one.
#pragma once

#include "updater/core/result.h"

#include <QString>

namespace updater {

// Exchanges newBundlePath (inside a StagingArea) with installedBundlePath in one atomic step
// (renameat2 RENAME_EXCHANGE) after flushing the new bundle to disk, then flushes the parent
// folder. Afterwards the old bundle sits at newBundlePath, inside the staging area, whose removal
// deletes it. Refused, touching nothing: an installed path that is missing or is not a real
// directory (a link is not followed), a new bundle that is not a directory, two paths on
// different filesystems, or a filesystem without RENAME_EXCHANGE. Blocks while it flushes.
Status installBundle(const QString& newBundlePath, const QString& installedBundlePath);

// The flush installBundle() begins with: every file and folder of the bundle at bundlePath
// reaches the disk (a link there is not followed, nor any link inside). Blocks until they have.
Status flushBundle(const QString& bundlePath);

// Removes what interrupted runs left next to installedBundlePath: staging folders
// ".<bundle name>.update-*" that no live run holds locked. Never touches the installed bundle or
// anything else. Returns how many were removed, or the first failure (others are still tried).
Result<int> cleanLeftovers(const QString& installedBundlePath);

}  // namespace updater
